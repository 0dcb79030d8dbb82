"""``python -m zentrix_gov judge-service``: prints its URL, serves, stops on Ctrl-C."""

import json
import signal
import subprocess
import sys
import urllib.error
import urllib.request

import pytest

from tests.plugin_services import closed_port


def start(*args):
    return subprocess.Popen(
        [sys.executable, "-m", "zentrix_gov", "judge-service", *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def get(url, token):
    request = urllib.request.Request(url, headers={"Authorization": f"Bearer {token}"})
    with urllib.request.urlopen(request, timeout=10) as response:
        return json.load(response)


def test_serves_until_ctrl_c():
    port = closed_port()
    process = start("--port", str(port), "--token", "cli-token")
    try:
        url = process.stdout.readline().strip()
        assert url == f"http://127.0.0.1:{port}"
        assert get(url + "/v1/foundation_model_specs", "cli-token")["total_count"] >= 4
        with pytest.raises(urllib.error.HTTPError) as refused:
            get(url + "/v1/models", "other")
        assert refused.value.code == 401
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=10) == 0
        assert "cli-token" not in process.stderr.read()
    finally:
        process.kill()
        process.wait(timeout=10)


def test_a_random_token_is_kept_in_a_private_file(tmp_path):
    token_file = tmp_path / "token"
    process = start("--token-file", str(token_file))
    try:
        url = process.stdout.readline().strip()
        assert process.stderr.readline().strip().endswith(f"is in the file {token_file}")
        assert token_file.stat().st_mode & 0o777 == 0o600
        token = token_file.read_text().strip()
        assert get(url + "/v1/models", token)["data"]
        # The token tests use is known to everyone: the service refuses it.
        assert token != "local-token"
        with pytest.raises(urllib.error.HTTPError) as refused:
            get(url + "/v1/models", "local-token")
        assert refused.value.code == 401
    finally:
        process.send_signal(signal.SIGINT)
        process.wait(timeout=10)


@pytest.mark.parametrize("args", [["--port", "70000"], ["--token", ""], ["--port", "x"]])
def test_bad_arguments_exit_2(args):
    result = subprocess.run(
        [sys.executable, "-m", "zentrix_gov", "judge-service", *args],
        capture_output=True,
        text=True,
        timeout=30,
    )
    assert result.returncode == 2 and result.stderr.startswith("error:")
