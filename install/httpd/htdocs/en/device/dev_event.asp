<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - Event levels</title>
<link rel="stylesheet" href="/style.css">
<link rel="stylesheet" href="/sys.css">
<link rel="icon" href="/favicon.ico">
</head>
<body>
<header class="bar">
  <span class="brand">Brisvane</span>
  <nav><a href="/logout.asp?token=<% SYS_LINKTOKEN %>">Log out</a></nav>
</header>
<% SUM_OS_BANNER %>
<div class="layout">
<nav id="menu" aria-label="Pages" data-level="<% LIN_LOGIN_LEVEL %>"></nav>
<main class="page" id="dev_event">
<h1>Event levels</h1>
<p>Each UPS event has a level. Events of level System are neither logged nor trapped nor broadcast; every other event is logged, and events from Information up are also mailed and sent by SMS. Click an event to change its level; a new level takes effect at once and is written to the language file.</p>
<form class="system" method="post" action="/en/device/event_iconfig">
<input type="hidden" name="SYS_UCTOKEN" value="<% SYS_UCTOKEN %>">
<fieldset data-list>
  <legend>UPS events</legend>
  <div class="scroll-list">
  <table class="list compact" id="events">
    <thead><tr><th>#</th><th>Event</th><th>Level</th><th></th></tr></thead>
    <tbody>
<% EVT_LIST_ADD %>    </tbody>
  </table>
  </div>
  <div id="event-editor" class="editor">
  <p class="hint">Selected event: <span id="selected">none</span></p>
  <label for="EVENT_TYPE">Level</label>
  <select id="EVENT_TYPE" name="EVENT_TYPE">
    <option value="0">System (not logged)</option>
    <option value="1">Information</option>
    <option value="2">Warning</option>
    <option value="3">Severity</option>
  </select>
  <div class="buttons">
    <button type="submit" id="apply" name="EVENT_EDIT1" value="Apply">Apply</button>
  </div>
  </div>
</fieldset>
</form>
</main>
</div>
<script>
// A click on an event selects it: its text is shown, its level set in the
// select, and the Apply button posts EVENT_EDIT with its number.
(function () {
  "use strict";
  window.Func_Select = function (event, text, level) {
    var apply = document.getElementById("apply");
    if (apply) apply.name = "EVENT_EDIT" + event;
    var select = document.getElementById("EVENT_TYPE");
    if (select) select.value = String(level);
    var shown = document.getElementById("selected");
    if (shown) shown.textContent = String(text || event);
    document.querySelectorAll("#events tbody tr").forEach(function (tr) {
      var a = tr.querySelector("a[id]");
      tr.classList.toggle("selected", a !== null && a.id === String(event));
    });
  };
  document.addEventListener("click", function (e) {
    var link = e.target.closest ? e.target.closest('#events a[href="#"]') : null;
    if (link) e.preventDefault();
  });
})();
</script>
<script src="/device.js"></script>
</body>
</html>
