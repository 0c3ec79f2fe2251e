<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - Wake-on-LAN</title>
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
<main class="page" id="net_wol">
<h1>Wake-on-LAN</h1>
<p>The hosts listed here are sent a magic packet (UDP broadcast, port 23240) after their delay when the power returns, when the service starts, or both.</p>
<form class="system" method="post" action="wol_iconfig">
<input type="hidden" name="SYS_UCTOKEN" value="<% SYS_UCTOKEN %>">
<fieldset data-list data-flag="5" data-empty="No host yet: add one below.">
  <legend>Hosts</legend>
  <table class="list" id="hosts">
    <thead><tr><th>#</th><th>Title</th><th>MAC address</th><th>Delay (min)</th><th>Power restore</th><th>Service start</th></tr></thead>
    <tbody>
<% WOL_LIST_ADD %>    </tbody>
  </table>
  <p class="hint">Selected host: <span id="selected">none</span>. Click a host to edit or delete it.</p>
  <label for="WOL_TIT">Title</label>
  <input type="text" id="WOL_TIT" name="WOL_TIT" maxlength="32">
  <label for="WOL_MAC">MAC address</label>
  <input type="text" id="WOL_MAC" name="WOL_MAC" maxlength="17" placeholder="00-1B-21-AB-CD-EF">
  <label for="WOL_DLY">Delay (minutes)</label>
  <input type="number" id="WOL_DLY" name="WOL_DLY" min="0" max="255" value="0">
  <label class="inline"><input type="checkbox" id="WOL_PR" name="WOL_PR"> when the power returns</label>
  <label class="inline"><input type="checkbox" id="WOL_SS" name="WOL_SS"> when the service starts</label>
  <div class="buttons">
    <button type="submit" name="WOL_ADD1" value="Add">Add</button>
    <button type="submit" data-op="WOL_EDIT" name="WOL_EDIT1" value="Save">Save changes</button>
    <button type="submit" data-op="WOL_DEL" name="WOL_DEL1" value="Delete" class="secondary">Delete</button>
  </div>
</fieldset>
</form>
</main>
</div>
<script>
// A click on a host fills the fields with its values and gives the Edit and
// Delete buttons its row; with no host they are disabled.
(function () {
  "use strict";
  window.Func_Select = function (row, mac, delay, powerRestore, sysStartup, count, title) {
    var empty = !(count > 0);
    var value = function (id, v) { var e = document.getElementById(id); if (e) e.value = v; };
    var check = function (id, on) { var e = document.getElementById(id); if (e) e.checked = on; };
    value("WOL_TIT", empty ? "" : String(title));
    value("WOL_MAC", empty ? "" : String(mac));
    value("WOL_DLY", String(empty ? 0 : delay));
    check("WOL_PR", !empty && Number(powerRestore) === 1);
    check("WOL_SS", !empty && Number(sysStartup) === 1);
    document.querySelectorAll("#net_wol button[data-op]").forEach(function (b) {
      b.name = b.getAttribute("data-op") + row;
      b.disabled = empty;
    });
    var shown = document.getElementById("selected");
    if (shown) shown.textContent = empty ? "none" : String(row);
    document.querySelectorAll("#hosts tbody tr").forEach(function (tr) {
      var a = tr.querySelector("a[id]");
      tr.classList.toggle("selected", !empty && a !== null && a.id === String(row));
    });
  };
  document.addEventListener("click", function (e) {
    var link = e.target.closest ? e.target.closest('#hosts a[href="#"]') : null;
    if (link) e.preventDefault();
  });
})();
</script>
<script src="/device.js"></script>
</body>
</html>
