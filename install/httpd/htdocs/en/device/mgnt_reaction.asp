<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - Shutdown and reactions</title>
<link rel="stylesheet" href="/style.css">
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
<main class="page" id="reaction">
<h1>Shutdown and reactions</h1>
<p>When a condition begins, its enabled reaction counts down its delay; at the end the UPS is told to switch its output off after the UPS delay and the host is shut down.</p>
<form class="settings" method="post" action="/en/device/mgnt_reaction">
<input type="hidden" name="SYS_UCTOKEN" value="<% SYS_UCTOKEN %>">
<!-- Enter in a field submits nothing: the default button is disabled. -->
<button type="submit" disabled hidden aria-hidden="true"></button>
<fieldset class="part">
<legend>Shutdown</legend>
<table class="values">
  <tr><th>The host at the end</th><td><select name="ACT_SHUT_TYPE" data-value="<% ACT_SHUT_TYPE %>" aria-label="The host at the end"><option value="0">Shut down</option><option value="1">Power off</option><option value="2">Hibernate</option></select></td></tr>
  <tr><th>UPS delay (s)</th><td><input type="number" min="0" max="2147483647" name="ACT_UPS_DELAY" aria-label="UPS delay (s)" value="<% ACT_UPS_DELAY %>"></td></tr>
  <tr><th>Smart-shutdown trap</th><td><label><input type="checkbox" name="ACT_LS_EN" data-checked="<% ACT_LS_EN %>"> on,</label> <input type="number" min="0" max="2147483647" name="ACT_LS_DELAY" value="<% ACT_LS_DELAY %>" aria-label="Smart-shutdown trap lead time (s)"> s before the end</td></tr>
</table>
<table class="values grid" id="reactions">
  <thead><tr><th>Condition</th><th>On</th><th>Delay (s)</th></tr></thead>
  <tr><td>Power failure</td><td><input type="checkbox" name="ACT_PF_EN" data-checked="<% ACT_PF_EN %>" aria-label="Power failure reaction on"></td><td><input type="number" min="0" max="2147483647" name="ACT_OSD_PF" value="<% ACT_OSD_PF %>" aria-label="Power failure delay (s)"></td></tr>
  <tr><td>Battery low</td><td><input type="checkbox" name="ACT_BL_EN" data-checked="<% ACT_BL_EN %>" aria-label="Battery low reaction on"></td><td><input type="number" min="0" max="2147483647" name="ACT_OSD_BL" value="<% ACT_OSD_BL %>" aria-label="Battery low delay (s)"></td></tr>
  <tr><td>Overload</td><td><input type="checkbox" name="ACT_OL_EN" data-checked="<% ACT_OL_EN %>" aria-label="Overload reaction on"></td><td><input type="number" min="0" max="2147483647" name="ACT_OSD_OL" value="<% ACT_OSD_OL %>" aria-label="Overload delay (s)"></td></tr>
  <tr><td>Bypass</td><td><input type="checkbox" name="ACT_BP_EN" data-checked="<% ACT_BP_EN %>" aria-label="Bypass reaction on"></td><td><input type="number" min="0" max="2147483647" name="ACT_OSD_BP" value="<% ACT_OSD_BP %>" aria-label="Bypass delay (s)"></td></tr>
  <tr><td>Scheduled shutdown</td><td><input type="checkbox" name="ACT_SS_EN" data-checked="<% ACT_SS_EN %>" aria-label="Scheduled shutdown reaction on"></td><td><input type="number" min="0" max="2147483647" name="ACT_OSD_SS" value="<% ACT_OSD_SS %>" aria-label="Scheduled shutdown delay (s)"></td></tr>
</table>
<p><button type="submit" name="SUB_SHUTDOWN" value="1">Apply shutdown</button></p>
</fieldset>
<fieldset class="part">
<legend>Notices and user command</legend>
<table class="values">
  <tr><th>Console notices</th><td><label><input type="checkbox" name="ACT_MSG_EN" data-checked="<% ACT_MSG_EN %>"> on,</label> repeated every <input type="number" min="0" max="65535" name="ACT_MSG_PERIOD" value="<% ACT_MSG_PERIOD %>" aria-label="Console notice repeat period (s)"> s (0: once)</td></tr>
  <tr><th>User command</th><td><label><input type="checkbox" name="ACT_CMD_EN" data-checked="<% ACT_CMD_EN %>"> run</label> <input type="number" min="0" max="2147483647" name="ACT_CMD_BEFORE" value="<% ACT_CMD_BEFORE %>" aria-label="User command lead time (s)"> s before the end</td></tr>
  <tr><th>Command file</th><td><input type="text" maxlength="256" size="48" name="ACT_CMD_FILE" aria-label="Command file" value="<% ACT_CMD_FILE %>"></td></tr>
</table>
<p><button type="submit" name="SUB_REACTION" value="1">Apply notices</button></p>
</fieldset>
<fieldset class="part">
<legend>Management</legend>
<table class="values">
  <tr><th>Management through the network</th><td><label><input type="checkbox" name="ACT_MAG_EN" data-checked="<% ACT_MAG_EN %>"> on</label> <span class="hint">also enables SNMPv3 user 1</span></td></tr>
</table>
<p><button type="submit" name="SUB_MAG" value="1">Apply management</button></p>
</fieldset>
</form>
</main>
</div>
<script src="/device.js"></script>
</body>
</html>
