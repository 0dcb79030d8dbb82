"""The run report in a real browser (headless Chromium): the numbers it shows, sorting and
filtering its table, a hostile answer that must run nothing, and a page that is not blank.

Skipped when no Chromium can run here; CI installs it (``./dev.sh test``).
"""

from __future__ import annotations

import io

import pytest

from tests.reports.test_report import big_run
from tests.support import browser
from tests.support.synthetic_runs import SyntheticMetric, store_run, write_records
from zentrix_gov.reports import charts
from zentrix_gov.reports.page import environment
from zentrix_gov.reports.run_report import write_run_report
from zentrix_gov.runs.store import RunStore
from zentrix_gov.runs.summary import summarize

pytestmark = pytest.mark.skipif(browser.missing() is not None, reason=str(browser.missing()))

RECORDS = 130
HOSTILE = "</script><script>window.hacked = 1</script><img src=x onerror='window.hacked = 2'>"


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    """A report of 130 records over three metrics, one of them with errors and skips."""
    folder = tmp_path_factory.mktemp("report")
    rows = [
        {"question": f"question {index}", "answer": HOSTILE if index == 17 else f"answer {index}"}
        for index in range(RECORDS)
    ]
    records = write_records(folder / "records.jsonl", rows)
    metrics = [
        SyntheticMetric("hap", [((index * 37) % 100) / 100 for index in range(RECORDS)]),
        SyntheticMetric(
            "quality",
            [None if index % 13 == 0 else ((index * 53) % 97) / 97 for index in range(RECORDS)],
            statuses=[
                "skipped" if index % 29 == 5 else "error" if index % 13 == 0 else "ok"
                for index in range(RECORDS)
            ],
        ),
        SyntheticMetric(
            "grounded",
            [float(index % 3 > 0) for index in range(RECORDS)],
            labels=["Yes" if index % 3 else "No" for index in range(RECORDS)],
        ),
    ]
    with RunStore(folder / "runs.sqlite") as store:
        run = store_run(store, metrics, records=records)
        write_run_report(store, run, folder / "report.html")
        summaries = {summary.name: summary for summary in summarize(store, run)}
    return folder / "report.html", summaries


@pytest.fixture(scope="module")
def page(report):
    with browser.headless_chromium() as driver:
        driver.get(report[0].as_uri())
        assert driver.execute_script("return document.body.dataset.ready") == "1"
        yield driver


def shown_rows(driver) -> list[dict[str, str]]:
    """The table's visible rows: column title -> (cell text, cell status)."""
    return driver.execute_script(
        """
        const titles = [...document.querySelectorAll('#record-head th')].map(
            th => th.textContent.replace(/ [▲▼]$/, ''));
        return [...document.querySelectorAll('#record-rows tr')].map(row => {
            const entry = {};
            [...row.cells].forEach((cell, i) => {
                entry[titles[i]] = cell.textContent;
                if (cell.dataset.status) entry[titles[i] + ':status'] = cell.dataset.status;
            });
            return entry;
        });
        """
    )


def click(driver, selector: str) -> None:
    driver.execute_script("document.querySelector(arguments[0]).click()", selector)


def test_the_summary_shows_the_stored_numbers(page, report):
    shown = page.execute_script(
        """
        return [...document.querySelectorAll('table.summary tbody tr')].map(row => {
            const cells = {metric: row.dataset.metric};
            row.querySelectorAll('td[data-field]').forEach(
                td => cells[td.dataset.field] = td.textContent.trim());
            return cells;
        });
        """
    )
    summaries = report[1]
    assert [row["metric"] for row in shown] == ["hap", "quality", "grounded"]
    for row in shown:
        summary = summaries[row["metric"]]
        for field, stored in (
            ("value", summary.value),
            ("min", summary.minimum),
            ("max", summary.maximum),
        ):
            assert float(row[field]) == pytest.approx(stored, abs=5e-5)
        assert int(row["errors"]) == summary.errors - summary.unreadable
        assert int(row["skipped"]) == summary.skipped
        assert row["coverage"] == f"{summary.coverage:.1%}"


def test_sorting_and_filtering_the_table(page, report):
    click(page, "#record-head th:nth-child(5) button")  # quality, ascending
    values = [row["quality"] for row in shown_rows(page)]
    numbers = [float(value) for value in values if value not in ("error", "skipped")]
    assert numbers == sorted(numbers) and numbers[0] == pytest.approx(
        report[1]["quality"].minimum, abs=5e-5
    )
    click(page, "#record-head th:nth-child(5) button")  # descending
    first = shown_rows(page)[0]["quality"]
    assert float(first) == pytest.approx(report[1]["quality"].maximum, abs=5e-5)

    page.execute_script(
        """
        document.getElementById('filter-metric').value = '1';
        const status = document.getElementById('filter-status');
        status.value = 'e';
        status.dispatchEvent(new Event('change'));
        """
    )
    rows = shown_rows(page)
    errors = report[1]["quality"].errors
    assert len(rows) == errors and {row["quality:status"] for row in rows} == {"error"}
    assert page.find_element("id", "row-count").text == f"{errors} of {RECORDS} records"
    page.execute_script(
        "const s = document.getElementById('filter-status'); s.value = 's';"
        "s.dispatchEvent(new Event('change'));"
    )
    assert {row["quality"] for row in shown_rows(page)} == {"skipped"}


def test_a_script_in_an_answer_runs_nothing_and_shows_as_text(page):
    page.execute_script(
        """
        const status = document.getElementById('filter-status'); status.value = '';
        status.dispatchEvent(new Event('change'));
        const search = document.getElementById('filter-text'); search.value = 'window.hacked';
        search.dispatchEvent(new Event('input'));
        """
    )
    page.implicitly_wait(0)
    for _ in range(50):  # the search waits for typing to pause
        if len(shown_rows(page)) == 1:
            break
        page.execute_script("return new Promise(done => setTimeout(done, 50))")
    (row,) = shown_rows(page)
    assert row["#"] == "18"
    click(page, "#record-rows tr")
    detail = page.find_element("id", "detail-body").text
    assert HOSTILE in detail
    assert page.execute_script("return window.hacked") is None
    assert page.execute_script("return document.querySelectorAll('img').length") == 0


def test_a_screenshot_of_the_page_is_not_blank(page):
    image_module = pytest.importorskip("PIL.Image")
    page.execute_script("window.scrollTo(0, 0)")
    image = image_module.open(io.BytesIO(page.get_screenshot_as_png())).convert("L")
    histogram = image.histogram()
    dark = sum(histogram[:100]) / (image.width * image.height)
    assert len([count for count in histogram if count]) > 20  # text, bars, shades
    assert 0.002 < dark < 0.5  # some ink, on a light page


def test_a_histogram_shows_its_count_labels_whole(tmp_path):
    import numpy as np

    chart = charts.histogram(np.zeros(221_538))
    page = tmp_path / "chart.html"
    page.write_text(
        environment()
        .from_string(
            '{% import "_macros.html" as m %}<!DOCTYPE html><html><head><meta charset="utf-8">'
            "<style>{{ style|safe }}</style></head><body>{{ m.chart(c, 'values') }}</body></html>"
        )
        .render(c=chart)
    )
    with browser.headless_chromium() as driver:
        driver.get(page.as_uri())
        labels = driver.execute_script(
            """
            const svg = document.querySelector('svg.chart').viewBox.baseVal;
            return [...document.querySelectorAll('svg.chart text')].map(text => {
                const box = text.getBBox();
                return [text.textContent, box.x, box.x + box.width, svg.width];
            });
            """
        )
    assert "221,538" in [text for text, *_ in labels]
    for text, left, right, width in labels:
        assert left >= 0 and right <= width, text


def test_a_record_left_out_for_size_shows_its_id_and_says_why(tmp_path):
    with RunStore(tmp_path / "runs.sqlite") as store:
        run, _, ids = big_run(store, tmp_path)
        write_run_report(store, run, tmp_path / "report.html", data_limit=60_000)
    with browser.headless_chromium() as driver:
        driver.get((tmp_path / "report.html").as_uri())
        assert [row["id"] for row in shown_rows(driver)] == ids[:50]
        click(driver, "#page-last")
        last = shown_rows(driver)
        assert [row["id"] for row in last] == ids[-len(last) :]
        # Past the kept records, only the worst and those with an error show texts.
        left_out = [row for row in last if row["text"] == "left out"]
        assert len(left_out) >= len(last) - 4
        assert all(float(row["quality"]) >= 0 for row in left_out)
        click(driver, f'#record-rows tr[data-position="{int(left_out[0]["#"]) - 1}"]')
        detail = driver.find_element("id", "detail-body").text
        assert "left out of this page" in detail and "answer " not in detail
