// System pages: a click on a list row fills the edit fields of the page's
// list form and gives its Edit and Delete buttons the row's number (a row
// the list names in data-fixed-row cannot be edited or deleted: its buttons
// are left out and its [data-fixed-note] says where it is changed); selects
// show the value the server wrote into their data-value.
(function () {
  "use strict";

  document.querySelectorAll("select[data-value]").forEach(function (s) {
    s.value = s.getAttribute("data-value");
  });

  // The row links only select the row.
  document.addEventListener("click", function (event) {
    var link = event.target.closest ? event.target.closest('table.list a[href="#"]') : null;
    if (link) event.preventDefault();
  });

  // The list rows call Func_Select(row, text, level, count) with the row's
  // values; the page's load calls it for the first row.
  window.Func_Select = function (row, text, level, count) {
    var list = document.querySelector("[data-list]");
    if (!list) return;
    var empty = !(count > 0);
    var textField = list.querySelector("[data-role=text]");
    var levelField = list.querySelector("[data-role=level]");
    if (textField) textField.value = empty ? "" : String(text);
    if (levelField) levelField.value = String(empty ? 0 : level);
    var fixed = !empty && list.getAttribute("data-fixed-row") === String(row);
    list.querySelectorAll("button[data-op]").forEach(function (b) {
      b.name = b.getAttribute("data-op") + row;
      b.disabled = empty || fixed;
      b.hidden = fixed;
    });
    list.querySelectorAll("[data-fixed-note]").forEach(function (n) { n.hidden = !fixed; });
    var shown = document.getElementById("selected");
    if (shown) shown.textContent = empty ? "none" : String(row);
    document.querySelectorAll("table.list tbody tr").forEach(function (tr) {
      var a = tr.querySelector("a[id]");
      tr.classList.toggle("selected", !empty && a !== null && a.id === String(row));
    });
  };
})();
