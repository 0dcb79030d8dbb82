"""Reports of stored runs: one run as a self-contained HTML page, and two runs compared.

    from zentrix_gov.reports import compare_runs, write_report, write_run_report
    from zentrix_gov.runs.store import RunStore

    write_report(run, "report.html")  # a zentrix_gov.runs.Run
    with RunStore(create=False) as store:
        write_run_report(store, store.find_run("last"), "report.html")
        comparison = compare_runs(store, store.find_run(base), store.find_run(new))

Pages need no server and load nothing from the network: styles, charts (inline SVG), data
and the table's script are all in the file. jinja2 and numpy are imported when a report is
made, never with the package.
"""

from __future__ import annotations

from zentrix_gov.utils.lazy_exports import lazy_exports

__all__ = [
    "compare_runs",
    "verdict",
    "write_comparison_report",
    "write_report",
    "write_run_report",
]

_EXPORTS = {
    "compare_runs": "zentrix_gov.reports.compare",
    "verdict": "zentrix_gov.reports.gate",
    "write_comparison_report": "zentrix_gov.reports.compare_page",
    "write_report": "zentrix_gov.reports.run_report",
    "write_run_report": "zentrix_gov.reports.run_report",
}


__getattr__ = lazy_exports(__name__, _EXPORTS)
