"""Request bodies for 100,000 "hap" records: native writer vs. dicts + json.dumps.

Run: .venv/bin/python bench/json_writer.py [--rows N] [--repeat N]
Prints one JSON line per case with median seconds and the speed-up.
"""

import argparse
import json
import random
import sys
from types import SimpleNamespace

from _support import emit, median_seconds
from zentrix_gov.providers.detectwire import Detectwire

# Words of typical English input, some with quotes that need escaping.
SAMPLE_SENTENCE = "the quick brown fox jumps over a lazy dog while the model answers each question"
ASCII_WORDS = SAMPLE_SENTENCE.split()
ASCII_WORDS += ["about", "the", "context", "it", "was", "given", "and", "says", '"fine"', "it's"]
NON_ASCII_WORDS = ["Gr\u00fc\u00dfe", "\u6771\u4eac", "na\u00efve", "caf\u00e9", "\U0001f600"]
NON_ASCII_WORDS += ["\u0434\u0430\u043d\u043d\u044b\u0435", "model", "answer", "the", "text"]


def make_texts(words, rows, rng):
    return [" ".join(rng.choice(words) for _ in range(rng.randint(10, 30))) for _ in range(rows)]


def python_bodies(texts):
    return [json.dumps({"detectors": {"hap": {}}, "input": text}) for text in texts]


def native_bodies(texts):
    # The provider's own body builder; it reads only these three attributes.
    provider = SimpleNamespace(
        metric_name="hap", set_metric_name=lambda name: name, detector_params=None
    )
    return Detectwire._Detectwire__get_json_payloads(provider, texts, None, None, None, None)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args(argv)

    rng = random.Random(20240601)
    cases = {
        "hap_ascii": make_texts(ASCII_WORDS, args.rows, rng),
        "hap_non_ascii": make_texts(NON_ASCII_WORDS, args.rows, rng),
    }
    for case, texts in cases.items():
        if native_bodies(texts) != python_bodies(texts):
            sys.exit(f"{case}: native bodies differ from json.dumps")
        native = median_seconds(lambda t=texts: native_bodies(t), args.repeat)
        python = median_seconds(lambda t=texts: python_bodies(t), args.repeat)
        emit(
            case,
            rows=args.rows,
            native_s=round(native, 5),
            json_dumps_s=round(python, 5),
            speedup=round(python / native, 2),
        )


if __name__ == "__main__":
    main()
