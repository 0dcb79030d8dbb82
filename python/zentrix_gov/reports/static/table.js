"use strict";
// The record table of a run report: the page's data rendered a page of rows at a time,
// sorted by any column, filtered by text and by status; a click on a row shows the record's
// texts. Texts are untrusted: they are only ever set as textContent.
//
// The page's data: JSON in #report-data, the PageData of zentrix_gov/reports/page_data.py,
// field for field. Columns hold one entry per record, in record order.
//   records          how many records the run has
//   page_size        rows the table shows at a time
//   ids              every record's id; [first, count]: count ids counting up from first
//   fields           the record columns that have texts
//   metrics          one object per metric:
//     name             the metric's name
//     higher_is_worse  whether a higher value is the worse one
//     values           per record its value, rounded to 4 places, or null: none
//     status           one letter per record: o ok, e error, s skipped, - not evaluated
//     labels           the labels the metric gave
//     label            per record an index into labels (-1: none), or null: no labels
//     reasons          why records were skipped
//     reason           per record an index into reasons, or null: fewer than 2 reasons
//   texts            per record its texts by field (null: empty), or 0: left out
//   notes            per record {metric index: [explanation, feedback, error]}, or 0: none
(function () {
  var data = JSON.parse(document.getElementById("report-data").textContent);
  var metrics = data.metrics;
  var total = data.records;
  var PAGE = data.page_size;
  var ids = [];
  data.ids.forEach(function (item) {
    if (typeof item === "string") ids.push(item);
    else for (var k = 0; k < item[1]; k++) ids.push(String(item[0] + k));
  });
  var STATUS = { o: "ok", e: "error", s: "skipped", "-": "not evaluated" };
  var state = { order: [], sortColumn: null, sortDirection: 1, page: 0 };
  var haystack = null;

  function $(id) {
    return document.getElementById(id);
  }

  function element(tag, text, className) {
    var node = document.createElement(tag);
    if (text !== undefined && text !== null) node.textContent = String(text);
    if (className) node.className = className;
    return node;
  }

  function label(metric, position) {
    if (!metric.label || metric.label[position] < 0) return null;
    return metric.labels[metric.label[position]];
  }

  function cellText(metric, position) {
    var status = metric.status[position];
    var value = metric.values[position];
    if (status === "s") return "skipped";
    if (status === "-") return "–";
    if (value === null) return status === "e" ? "error" : "–";
    var shown = value.toFixed(4);
    var named = label(metric, position);
    return named === null ? shown : named + " (" + shown + ")";
  }

  // ------------------------------------------------------------------ columns and sorting

  function preview(position) {
    var texts = data.texts[position] || [];
    for (var i = 0; i < texts.length; i++) {
      if (texts[i]) return texts[i].length > 90 ? texts[i].slice(0, 89) + "…" : texts[i];
    }
    return "";
  }

  var columns = [{ title: "#", key: function (p) { return p; } },
                 { title: "id", key: function (p) { return ids[p]; } }];
  if (data.fields.length) {
    columns.push({ title: "text", key: function (p) { return preview(p) || null; } });
  }
  metrics.forEach(function (metric, index) {
    columns.push({
      title: metric.name,
      metric: index,
      key: function (p) { return metric.values[p]; },
    });
  });

  function sortOrder(order) {
    if (state.sortColumn === null) return order;
    var key = columns[state.sortColumn].key;
    var direction = state.sortDirection;
    var keys = new Array(total);
    order.forEach(function (p) { keys[p] = key(p); });
    return order.sort(function (a, b) {
      var x = keys[a], y = keys[b];
      // Records without a value go last, whichever the direction.
      if (x === null || x === undefined) return y === null || y === undefined ? a - b : 1;
      if (y === null || y === undefined) return -1;
      if (x < y) return -direction;
      if (x > y) return direction;
      return a - b;
    });
  }

  // ------------------------------------------------------------------ filtering

  function searchText(position) {
    if (haystack === null) haystack = new Array(total);
    var text = haystack[position];
    if (text === undefined) {
      var texts = data.texts[position] || [];
      text = [ids[position]].concat(texts.filter(Boolean)).join("\n").toLowerCase();
      haystack[position] = text;
    }
    return text;
  }

  function matchesStatus(position, status, metric) {
    if (metric !== "") return metrics[metric].status[position] === status;
    for (var i = 0; i < metrics.length; i++) {
      if (metrics[i].status[position] === status) return true;
    }
    return false;
  }

  function apply() {
    var query = $("filter-text").value.trim().toLowerCase();
    var status = $("filter-status").value;
    var metric = $("filter-metric").value;
    var order = [];
    for (var p = 0; p < total; p++) {
      if (status && !matchesStatus(p, status, metric === "" ? "" : Number(metric))) continue;
      if (query && searchText(p).indexOf(query) < 0) continue;
      order.push(p);
    }
    state.order = sortOrder(order);
    state.page = 0;
    render();
  }

  // ------------------------------------------------------------------ rendering

  function renderHead() {
    var row = $("record-head");
    row.replaceChildren();
    columns.forEach(function (column, index) {
      var cell = element("th");
      var button = element("button", column.title, "sort");
      button.type = "button";
      button.dataset.column = String(index);
      var sorted = state.sortColumn === index;
      cell.setAttribute("aria-sort", !sorted ? "none" : state.sortDirection > 0 ? "ascending" : "descending");
      if (sorted) button.textContent += state.sortDirection > 0 ? " ▲" : " ▼";
      button.addEventListener("click", function () {
        if (state.sortColumn === index) state.sortDirection = -state.sortDirection;
        else { state.sortColumn = index; state.sortDirection = 1; }
        renderHead();
        state.order = sortOrder(state.order);
        state.page = 0;
        render();
      });
      cell.appendChild(button);
      row.appendChild(cell);
    });
  }

  function render() {
    var body = $("record-rows");
    var pages = Math.max(1, Math.ceil(state.order.length / PAGE));
    state.page = Math.min(Math.max(state.page, 0), pages - 1);
    var start = state.page * PAGE;
    var shown = state.order.slice(start, start + PAGE);
    var rows = document.createDocumentFragment();
    shown.forEach(function (position) {
      var row = element("tr");
      row.dataset.position = String(position);
      row.tabIndex = 0;
      row.appendChild(element("td", position + 1, "num"));
      row.appendChild(element("td", ids[position], "id"));
      if (data.fields.length) {
        var leftOut = data.texts[position] === 0;
        row.appendChild(element("td", leftOut ? "left out" : preview(position), leftOut ? "preview muted" : "preview"));
      }
      metrics.forEach(function (metric) {
        var cell = element("td", cellText(metric, position), "num st-" + STATUS[metric.status[position]].replace(" ", "-"));
        cell.dataset.status = STATUS[metric.status[position]];
        row.appendChild(cell);
      });
      row.addEventListener("click", function () { showRecord(position); });
      row.addEventListener("keydown", function (event) {
        if (event.key === "Enter") showRecord(position);
      });
      rows.appendChild(row);
    });
    body.replaceChildren(rows);
    if (!shown.length) {
      var empty = element("tr");
      var cell = element("td", "no record matches", "muted");
      cell.colSpan = columns.length;
      empty.appendChild(cell);
      body.appendChild(empty);
    }
    var count = state.order.length;
    $("row-count").textContent = count.toLocaleString("en") + " of " + total.toLocaleString("en") + " records";
    $("page-info").textContent = count
      ? "rows " + (start + 1).toLocaleString("en") + "–" + (start + shown.length).toLocaleString("en") +
        " of " + count.toLocaleString("en") + " (page " + (state.page + 1) + " of " + pages + ")"
      : "";
    $("page-prev").disabled = $("page-first").disabled = state.page === 0;
    $("page-next").disabled = $("page-last").disabled = state.page >= pages - 1;
  }

  function field(parent, name, text) {
    if (text === null || text === undefined || text === "") return;
    var block = element("div", null, "field");
    block.appendChild(element("span", name, "field-name"));
    block.appendChild(element("pre", text, "text"));
    parent.appendChild(block);
  }

  function showRecord(position) {
    var texts = data.texts[position];
    var body = $("detail-body");
    body.replaceChildren();
    $("detail-title").textContent = ids[position] + " (record " + (position + 1) + ")";
    if (texts === 0) {
      body.appendChild(element("p", "Its texts, explanations and errors are left out of this page: see the note above the table.", "note"));
    } else {
      data.fields.forEach(function (name, index) { field(body, name, texts[index]); });
    }
    metrics.forEach(function (metric, index) {
      var status = metric.status[position];
      var block = element("div", null, "detail-metric");
      var head = element("h4", metric.name + ": " + cellText(metric, position) + " ");
      head.appendChild(element("span", "(" + STATUS[status] + ")", "muted"));
      block.appendChild(head);
      var notes = data.notes[position] && data.notes[position][String(index)];
      if (notes) {
        field(block, "explanation", notes[0]);
        field(block, "feedback", notes[1]);
        field(block, "error", notes[2]);
      }
      if (status === "s" && metric.reasons.length) {
        field(block, "skipped", metric.reasons[metric.reason ? metric.reason[position] : 0]);
      }
      body.appendChild(block);
    });
    var panel = $("record-detail");
    panel.hidden = false;
    panel.scrollIntoView({ block: "nearest" });
  }

  // ------------------------------------------------------------------ controls

  var typing = null;
  $("filter-text").addEventListener("input", function () {
    clearTimeout(typing);
    typing = setTimeout(apply, 200);
  });
  $("filter-status").addEventListener("change", apply);
  $("filter-metric").addEventListener("change", apply);
  $("page-first").addEventListener("click", function () { state.page = 0; render(); });
  $("page-prev").addEventListener("click", function () { state.page -= 1; render(); });
  $("page-next").addEventListener("click", function () { state.page += 1; render(); });
  $("page-last").addEventListener("click", function () { state.page = Infinity; render(); });
  $("detail-close").addEventListener("click", function () { $("record-detail").hidden = true; });

  state.order = Array.from({ length: total }, function (_, p) { return p; });
  renderHead();
  render();
  window.reportReadyAt = performance.now();
  document.body.dataset.ready = "1";
})();
