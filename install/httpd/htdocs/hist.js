// Script of the history pages: the event-log view switch and level boxes,
// the shown page in words, the table frames (loaded fresh, sized to their
// table, filtered by level; each data-log record a block of labelled
// values, as no screen is wide enough for its 83 columns), the downloads (the export is posted into a hidden frame, then
// the download notice fetches the file), the data-log resolution choice and the charts of
// the two chosen measurements over a time axis with their gaps, and the
// confirmation of the clear buttons.
(function () {
  "use strict";

  // Measurements of the data-log table: [name, column of its value]. The
  // table has date and time, battery volt, current and level, temperature
  // C and F, then a Lo and a Hi column for each further measurement; the
  // charts draw the Hi values.
  var PAIRS = ["Out Freq (Hz)", "Out Volt 1 (V)", "Out Volt 2 (V)", "Out Volt 3 (V)", "Out Amp 1 (A)",
    "Out Amp 2 (A)", "Out Amp 3 (A)", "Out Pwr 1 (W)", "Out Pwr 2 (W)", "Out Pwr 3 (W)", "Out Load 1 (%)",
    "Out Load 2 (%)", "Out Load 3 (%)", "In Freq 1 (Hz)", "In Freq 2 (Hz)", "In Freq 3 (Hz)", "In Volt 1 (V)",
    "In Volt 2 (V)", "In Volt 3 (V)", "In Volt 12 (V)", "In Volt 23 (V)", "In Volt 31 (V)", "In Amp 1 (A)",
    "In Amp 2 (A)", "In Amp 3 (A)", "In Pwr 1 (W)", "In Pwr 2 (W)", "In Pwr 3 (W)", "By Freq (Hz)",
    "By Volt 1 (V)", "By Volt 2 (V)", "By Volt 3 (V)", "By Amp 1 (A)", "By Amp 2 (A)", "By Amp 3 (A)",
    "By Pwr 1 (W)", "By Pwr 2 (W)", "By Pwr 3 (W)"];
  var ITEMS = [["Batt Volt (V)", 2], ["Batt Current (A)", 3], ["Batt Level (%)", 4], ["UPS Temp (C)", 5],
    ["UPS Temp (F)", 6]].concat(PAIRS.map(function (name, i) { return [name, 8 + 2 * i]; }));
  var SVG = "http://www.w3.org/2000/svg";

  function each(selector, fn) { Array.prototype.forEach.call(document.querySelectorAll(selector), fn); }

  // The view radios show the controls of the chosen view.
  function views() {
    var radios = document.querySelectorAll("input[data-view]");
    if (!radios.length) return;
    function show() {
      Array.prototype.forEach.call(radios, function (r) {
        var part = document.getElementById(r.getAttribute("data-view"));
        if (part) part.hidden = !r.checked;
      });
    }
    Array.prototype.forEach.call(radios, function (r) { r.addEventListener("change", show); });
    if (!Array.prototype.some.call(radios, function (r) { return r.checked; })) radios[0].checked = true;
    show();
  }

  // <p data-select="0101..."> ticks its <input data-bit="k"> from character k.
  function selectionBoxes() {
    each("[data-select]", function (box) {
      var bits = box.getAttribute("data-select") || "";
      box.querySelectorAll("input[data-bit]").forEach(function (c) {
        c.checked = bits.charAt(Number(c.getAttribute("data-bit"))) === "1";
      });
    });
  }

  // Rows of the event table whose level is not ticked are hidden (none ticked: all show).
  function filterRows(frame) {
    var doc = frame.contentDocument, boxes = document.getElementById(frame.getAttribute("data-filter"));
    if (!doc || !boxes) return;
    var shown = [];
    boxes.querySelectorAll("input[data-level]").forEach(function (c) {
      if (c.checked) shown.push(c.getAttribute("data-level"));
    });
    Array.prototype.forEach.call(doc.querySelectorAll("tr"), function (tr, i) {
      if (i === 0 || tr.cells.length < 3) return;
      tr.hidden = shown.length > 0 && shown.indexOf(tr.cells[2].textContent.trim()) < 0;
    });
  }

  // The event-log range "Page3" reads "page 3".
  function pageWords() {
    var range = document.getElementById("log-range");
    var m = range ? /^Page(\d+)$/.exec(range.textContent.trim()) : null;
    if (m) range.textContent = "page " + m[1];
  }

  // The data-log table as blocks: every record cell gets the name of its
  // column from the two head rows (a group such as "Out Volt-1" over "Lo"
  // and "Hi", shown as "Out Volt-1: 229.8V to 230.4V"), and the frame's style
  // shows each record as its date and time and then its labelled values; a
  // value the record lacks is left out.
  function recordBlocks(frame) {
    var doc = frame.contentDocument;
    var table = doc ? doc.querySelector("table") : null;
    if (!table || table.rows.length < 2) return;
    var top = table.rows[0], sub = table.rows[1], columns = [], subs = Array.prototype.slice.call(sub.cells);
    Array.prototype.forEach.call(top.cells, function (c) {
      var group = c.textContent.trim();
      if (c.rowSpan > 1) { columns.push({ label: "" }); return; }
      for (var k = 0; k < c.colSpan; k++) {
        var s = subs.shift(), part = s ? s.textContent.trim() : "";
        if (part === "Lo") columns.push({ label: group, cls: "lo" });
        else if (part === "Hi") columns.push({ label: "", cls: "hi", group: group });
        else columns.push({ label: group + " " + part });
      }
    });
    table.classList.add("records");
    top.classList.add("head");
    sub.classList.add("head");
    Array.prototype.slice.call(table.rows, 2).forEach(function (tr) {
      Array.prototype.forEach.call(tr.cells, function (td, i) {
        var column = columns[i] || { label: "" };
        var empty = !td.textContent.trim();
        // A highest value without its lowest carries the name itself.
        var alone = column.cls === "hi" && td.previousElementSibling &&
          td.previousElementSibling.classList.contains("none");
        td.setAttribute("data-label", alone ? column.group : column.label);
        if (column.cls && !alone) td.classList.add(column.cls);
        if (empty) td.classList.add("none");
      });
    });
  }

  function fit(frame) {
    var doc = frame.contentDocument;
    if (doc && doc.body) frame.style.height = (doc.body.scrollHeight + 20) + "px";
  }

  function itemSelects() {
    each("select.data-item", function (s) {
      ITEMS.forEach(function (item, i) {
        var o = document.createElement("option");
        o.value = String(i);
        o.textContent = item[0];
        s.appendChild(o);
      });
      var v = s.getAttribute("data-item-value");
      if (Number(v) >= 0 && Number(v) < ITEMS.length) s.value = v;
    });
  }

  // Seconds between two records of each resolution (the DATA_SELBY values).
  var STEP = {"0": 60, "3": 600, "1": 3600, "2": 43200};

  // The time of a record from its date (MM/DD/YYYY) and time (hh:mm:ss) cells.
  function recordTime(tr) {
    var d = /^(\d\d)\/(\d\d)\/(\d{4})$/.exec((tr.cells[0] || {}).textContent || "");
    var t = /^(\d\d):(\d\d):(\d\d)$/.exec((tr.cells[1] || {}).textContent || "");
    return d && t ? new Date(+d[3], d[1] - 1, +d[2], +t[1], +t[2], +t[3]).getTime() : NaN;
  }

  function two(n) { return (n < 10 ? "0" : "") + n; }
  function timeLabel(ms, span) {
    var d = new Date(ms);
    var day = two(d.getMonth() + 1) + "/" + two(d.getDate()), clock = two(d.getHours()) + ":" + two(d.getMinutes());
    return span <= 86400000 ? clock : span <= 4 * 86400000 ? day + " " + clock : day;
  }

  function svgEl(tag, attrs, text) {
    var e = document.createElementNS(SVG, tag);
    Object.keys(attrs).forEach(function (k) { e.setAttribute(k, attrs[k]); });
    if (text !== undefined) e.textContent = text;
    return e;
  }

  // One chart of a column of the table's rows (newest first in the table)
  // over a time axis; the line breaks where records are missing (more than
  // two record steps apart) or have no value.
  function chart(rows, item, step) {
    var box = document.createElement("figure");
    box.className = "chart";
    var caption = document.createElement("figcaption");
    caption.textContent = ITEMS[item][0];
    box.appendChild(caption);
    var points = [];
    rows.slice().reverse().forEach(function (tr) {
      var at = recordTime(tr);
      if (isNaN(at)) return;
      var cell = tr.cells[ITEMS[item][1]];
      points.push({t: at, v: cell ? parseFloat(cell.textContent) : NaN});
    });
    var values = points.filter(function (p) { return !isNaN(p.v); });
    if (!values.length) {
      var p = document.createElement("p");
      p.className = "empty";
      p.textContent = "No values in this range.";
      box.appendChild(p);
      return box;
    }
    var lo = Math.min.apply(null, values.map(function (p) { return p.v; }));
    var hi = Math.max.apply(null, values.map(function (p) { return p.v; }));
    var t0 = points[0].t, t1 = points[points.length - 1].t;
    var w = 600, h = 170, left = 48, right = 12, top = 8, bottom = 24;
    var span = t1 - t0 || 1, range = hi - lo || 1;
    function x(t) { return t1 === t0 ? left + (w - left - right) / 2 : left + (t - t0) * (w - left - right) / span; }
    function y(v) { return hi === lo ? top + (h - top - bottom) / 2 : h - bottom - (v - lo) * (h - top - bottom) / range; }
    var svg = svgEl("svg", {viewBox: "0 0 " + w + " " + h, role: "img",
                            "aria-label": ITEMS[item][0] + " from " + lo + " to " + hi});
    // Axes, with the value range at the left and times along the bottom.
    svg.appendChild(svgEl("path", {d: "M" + left + " " + top + "V" + (h - bottom) + "H" + (w - right),
                                   stroke: "#5d6b7a", fill: "none"}));
    [[hi, y(hi)], [lo, y(lo)]].forEach(function (tick) {
      svg.appendChild(svgEl("text", {x: left - 4, y: tick[1] + 4, "text-anchor": "end", "font-size": 11,
                                     fill: "#1d2733"}, String(tick[0])));
    });
    var ticks = t1 === t0 ? 1 : 4;
    for (var i = 0; i <= ticks; i++) {
      var at = t1 === t0 ? t0 : t0 + i * span / ticks;
      var tx = x(at);
      svg.appendChild(svgEl("path", {d: "M" + tx + " " + (h - bottom) + "v4", stroke: "#5d6b7a"}));
      svg.appendChild(svgEl("text", {x: tx, y: h - 6, "font-size": 11, fill: "#1d2733",
                                     "text-anchor": i === 0 && ticks > 1 ? "start" : i === ticks && ticks > 1 ? "end" : "middle"},
                            timeLabel(at, span)));
    }
    // The line, in pieces between the gaps; a lone record is a dot.
    var limit = 2 * 1000 * (step || 60), piece = [], gaps = 0;
    function flush() {
      if (piece.length === 1) {
        svg.appendChild(svgEl("circle", {cx: x(piece[0].t).toFixed(1), cy: y(piece[0].v).toFixed(1), r: 2.5,
                                         fill: "#1f5f99"}));
      } else if (piece.length > 1) {
        svg.appendChild(svgEl("polyline", {fill: "none", stroke: "#1f5f99", "stroke-width": 2,
                                           points: piece.map(function (p) {
                                             return x(p.t).toFixed(1) + "," + y(p.v).toFixed(1);
                                           }).join(" ")}));
      }
      piece = [];
    }
    points.forEach(function (p, k) {
      var broken = isNaN(p.v) || (k > 0 && p.t - points[k - 1].t > limit);
      if (broken) {
        if (piece.length) gaps++;
        flush();
      }
      if (!isNaN(p.v)) piece.push(p);
    });
    flush();
    box.appendChild(svg);
    var note = document.createElement("p");
    note.className = "hint";
    note.textContent = values.length + " records, " + lo + " to " + hi +
      (gaps ? "; " + gaps + (gaps === 1 ? " gap" : " gaps") + " without records" : "");
    box.appendChild(note);
    return box;
  }

  function charts(frame) {
    var target = document.getElementById(frame.getAttribute("data-chart"));
    var doc = frame.contentDocument;
    if (!target || !doc) return;
    // Two header rows, then the records.
    var rows = Array.prototype.slice.call(doc.querySelectorAll("tr"), 2);
    target.textContent = "";
    each("select.data-item", function (s) {
      var item = Number(s.value), mode = document.querySelector("select[name=DATA_SELBY]");
      if (item >= 0 && item < ITEMS.length) target.appendChild(chart(rows, item, STEP[mode ? mode.value : "0"]));
    });
  }

  // A frame whose table has no records (or that got no table at all: the
  // log is empty) gives way to a line that says so.
  function emptyFrame(frame) {
    var doc = frame.contentDocument;
    var rows = doc ? doc.querySelectorAll("table tr").length : 0;
    var empty = rows <= Number(frame.getAttribute("data-head") || 1);
    var note = frame.nextElementSibling && frame.nextElementSibling.classList.contains("frame-empty") ?
      frame.nextElementSibling : null;
    if (empty && !note) {
      note = document.createElement("p");
      note.className = "empty frame-empty";
      note.textContent = frame.getAttribute("data-empty") || "No records.";
      frame.parentNode.insertBefore(note, frame.nextSibling);
    }
    if (note) note.hidden = !empty;
    frame.hidden = empty;
    return empty;
  }

  // The frames load their table as written for this page, never a cached one.
  function tableFrames() {
    each("iframe[data-src]", function (frame) {
      frame.addEventListener("load", function () {
        if (emptyFrame(frame)) {
          if (frame.hasAttribute("data-chart")) charts(frame);
          return;
        }
        if (frame.hasAttribute("data-filter")) filterRows(frame);
        if (frame.hasAttribute("data-chart")) {
          charts(frame);
          recordBlocks(frame);
        }
        fit(frame);
      });
      frame.src = frame.getAttribute("data-src") + "?t=" + Date.now();
    });
    each("input[data-level]", function (c) {
      c.addEventListener("change", function () {
        each("iframe[data-filter]", filterRows);
      });
    });
    each("select.data-item", function (s) {
      s.addEventListener("change", function () { each("iframe[data-chart]", charts); });
    });
  }

  // A download button posts into its hidden frame; once the answer is
  // there the export is written, and the download notice fetches the file
  // after the server's notice delay.
  function downloads() {
    each("button[data-download]", function (b) {
      var frame = document.getElementById(b.getAttribute("formtarget"));
      if (!frame) return;
      var pending = false;
      b.addEventListener("click", function () { pending = true; });
      frame.addEventListener("load", function () {
        if (!pending) return;
        pending = false;
        var name = b.getAttribute("data-download").split("/").pop();
        location.href = "/en/notice.asp?file=" + encodeURIComponent(name);
      });
    });
  }

  // A choice with data-reload shows the page again for that choice.
  function reloads() {
    each("select[data-reload]", function (s) {
      s.addEventListener("change", function () {
        location.href = location.pathname + "?" + s.getAttribute("data-reload") + "=" + encodeURIComponent(s.value);
      });
    });
  }

  function confirms() {
    each("button[data-confirm]", function (b) {
      b.addEventListener("click", function (e) {
        if (!window.confirm(b.getAttribute("data-confirm"))) e.preventDefault();
      });
    });
  }

  function start() {
    pageWords();
    views();
    selectionBoxes();
    itemSelects();
    tableFrames();
    downloads();
    reloads();
    confirms();
  }

  if (document.readyState === "loading") document.addEventListener("DOMContentLoaded", start);
  else start();
})();
