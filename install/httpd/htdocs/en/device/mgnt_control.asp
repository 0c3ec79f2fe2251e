<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - Control</title>
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
<main class="page" id="control">
<h1>Control</h1>
<!-- Commands, not settings: nothing typed here is kept, so leaving asks nothing. -->
<form class="settings" method="post" action="/en/device/dev_icontrol" data-keeps-nothing>
<input type="hidden" name="SYS_UCTOKEN" value="<% SYS_UCTOKEN %>">
<!-- Enter in a field submits nothing: the default button is disabled. -->
<button type="submit" disabled hidden aria-hidden="true"></button>
<h2>UPS</h2>
<table class="values">
  <tr data-cap="<% CTL_FTST %>" data-offer="<% CTL_FTST %>"><th>Battery test</th><td><button type="submit" name="CTL_TST" value="3">Start a test</button> <button type="submit" name="CTL_TST" value="4">Start a deep test</button></td></tr>
  <tr data-cap="<% CTL_BUZ %>" data-offer="<% CTL_BUZ %>"><th>Audible alarm</th><td><label>Silence code <input type="number" min="1" max="9999" name="CTL_MUTE" value="1"></label> <span class="hint">a code of the UPS, not a time: 1 mutes the alarm now</span> <button type="submit" name="CTL_BUZ" value="1">Silence</button> <span class="hint">(now <span data-map="0:not muted|1:muted"><% CFG_BUZ %></span>)</span></td></tr>
</table>
<h2>Outlets</h2>
<p>Outlets: <span class="v"><% CTL_LETNUM %></span>. A switch happens after its delay.</p>
<div id="outlets" data-states="<% CTL_LETSTS %>"><noscript>The outlet switches need JavaScript.</noscript></div>
<h2 id="shutdown">Shutdown</h2>
<table class="values">
  <tr><th>Shutdown countdown</th><td><span id="countdown-state">No countdown is running.</span>
    <!-- The one that applies shows; each asks for its own direction. -->
    <button type="submit" name="SHUT_CANCEL" value="cancel" data-when="running" formaction="/en/device/mgnt_control" hidden disabled>Cancel the countdown</button>
    <button type="submit" name="SHUT_CANCEL" value="resume" data-when="cancelled" formaction="/en/device/mgnt_control" hidden disabled>Resume the countdown</button></td></tr>
  <tr><th>Console notices</th><td><button type="submit" name="PAUSE_BROAD" value="1" formaction="/en/device/mgnt_control">Stop repeating</button></td></tr>
  <tr><th>Trap receivers</th><td><button type="submit" name="SIM_POWERFAIL" value="1" formaction="/en/device/mgnt_control">Send a power-failure trap</button>
    <button type="submit" name="SIM_POWERRESTORE" value="1" formaction="/en/device/mgnt_control">Send a power-restored trap</button>
    <button type="submit" name="CANCEL_SD" value="1" formaction="/en/device/mgnt_control">Send a shutdown-cancelled trap</button></td></tr>
</table>
</form>
</main>
</div>
<script src="/device.js"></script>
</body>
</html>
