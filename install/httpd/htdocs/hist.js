// Script of the history pages: the event-log view switch and level boxes,
// the table frames (loaded fresh, sized to their table, filtered by
// level), the downloads (the export is posted into a hidden frame, then
// the download notice fetches the file), the data-log resolution choice and the charts of
// the two chosen measurements, and the confirmation of the clear buttons.
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

  // One line chart of a column of the table's rows (newest first in the table).
  function chart(rows, item) {
    var box = document.createElement("figure");
    box.className = "chart";
    var caption = document.createElement("figcaption");
    caption.textContent = ITEMS[item][0];
    box.appendChild(caption);
    var points = [];
    rows.slice().reverse().forEach(function (tr) {
      var cell = tr.cells[ITEMS[item][1]];
      var v = cell ? parseFloat(cell.textContent) : NaN;
      if (!isNaN(v)) points.push(v);
    });
    if (!points.length) {
      var p = document.createElement("p");
      p.className = "empty";
      p.textContent = "No values in this range.";
      box.appendChild(p);
      return box;
    }
    var lo = Math.min.apply(null, points), hi = Math.max.apply(null, points), w = 600, h = 120;
    var span = hi - lo || 1;
    var svg = document.createElementNS(SVG, "svg");
    svg.setAttribute("viewBox", "0 0 " + w + " " + h);
    svg.setAttribute("role", "img");
    svg.setAttribute("aria-label", ITEMS[item][0] + " from " + lo + " to " + hi);
    var line = document.createElementNS(SVG, "polyline");
    line.setAttribute("fill", "none");
    line.setAttribute("stroke", "#1f5f99");
    line.setAttribute("stroke-width", "2");
    line.setAttribute("points", points.map(function (v, i) {
      var x = points.length > 1 ? i * (w - 10) / (points.length - 1) + 5 : w / 2;
      return x.toFixed(1) + "," + (h - 5 - (v - lo) * (h - 10) / span).toFixed(1);
    }).join(" "));
    svg.appendChild(line);
    box.appendChild(svg);
    var range = document.createElement("p");
    range.className = "hint";
    range.textContent = points.length + " records, " + lo + " to " + hi;
    box.appendChild(range);
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
      var item = Number(s.value);
      if (item >= 0 && item < ITEMS.length) target.appendChild(chart(rows, item));
    });
  }

  // The frames load their table as written for this page, never a cached one.
  function tableFrames() {
    each("iframe[data-src]", function (frame) {
      frame.addEventListener("load", function () {
        if (frame.hasAttribute("data-filter")) filterRows(frame);
        if (frame.hasAttribute("data-chart")) charts(frame);
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
