"""How often a judge's labels agree with the expected ones.

    python tools/judge_agreement.py RESULTS.json EXPECTED.yaml [METRIC]

RESULTS.json is the output of ``evaluate -o``; EXPECTED.yaml maps record ids to the label
the judge should give (e.g. examples/answer_grounding.expected.yaml); METRIC is
the criterion's name (default: the expected file's name before ".expected"). Records whose
verdict was lost (an error) count as disagreeing. Prints one JSON line.
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

import yaml


def main(argv: list[str]) -> int:
    if len(argv) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    results = json.loads(Path(argv[0]).read_text())
    expected_path = Path(argv[1])
    expected = {
        str(key): str(value) for key, value in yaml.safe_load(expected_path.read_text()).items()
    }
    name = argv[2] if len(argv) == 3 else expected_path.name.split(".expected")[0]
    metric = next(m for m in results["metrics"] if m["metric"] == name)
    labels = {
        str(record["record_id"]): record.get("label") if not record.get("errors") else None
        for record in metric["record_level_metrics"]
    }
    verdicts = {record_id: labels.get(record_id) for record_id in expected}
    agreed = sorted(
        record_id for record_id, label in verdicts.items() if label == expected[record_id]
    )
    print(
        json.dumps(
            {
                "metric": name,
                "labelled": len(expected),
                "agreed": len(agreed),
                "agreement": round(len(agreed) / len(expected), 3) if expected else None,
                "verdicts": verdicts,
            }
        )
    )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
