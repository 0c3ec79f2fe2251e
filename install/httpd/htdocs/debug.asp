<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - Link statistics</title>
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
<main class="page" id="debug">
<h1>Link statistics</h1>
<!-- Switches and counters: nothing typed here is kept. -->
<form class="settings" method="post" action="/debug" data-keeps-nothing>
<input type="hidden" name="SYS_UCTOKEN" value="<% SYS_UCTOKEN %>">
<!-- Enter in a field submits nothing: the default button is disabled. -->
<button type="submit" disabled hidden aria-hidden="true"></button>
<h2>UPS link statistics</h2>
<table class="values">
  <tr><th>Frames sent</th><td class="v" id="dbg_tx_ok"><% DBG_TX_OK %></td></tr>
  <tr><th>Incomplete writes</th><td class="v" id="dbg_tx_err"><% DBG_TX_ERR %></td></tr>
  <tr><th>Replies received</th><td class="v" id="dbg_rx_ok"><% DBG_RX_OK %></td></tr>
  <tr><th>Reply time-outs</th><td class="v" id="dbg_rx_timeout"><% DBG_RX_TIMEOUT %></td></tr>
  <tr><th>Checksum errors</th><td class="v" id="dbg_rx_cserr"><% DBG_RX_CSERR %></td></tr>
  <tr><th>Receive overflows</th><td class="v" id="dbg_rx_overflow"><% DBG_RX_OVERFLOW %></td></tr>
  <tr><th>Malformed replies</th><td class="v" id="dbg_rx_parseerr"><% DBG_RX_PARSEERR %></td></tr>
</table>
<p><button type="submit" name="DBG_REFRESH" value="1">Refresh</button> <button type="submit" name="DBG_CLEAR" value="1">Clear the counters</button></p>
<h2>Serial trace</h2>
<table class="values">
  <tr><th>Trace</th><td id="dbg_com_log"><% DBG_COM_LOG %></td></tr>
  <tr><th>Trace file</th><td><% DBG_COM_FILE %></td></tr>
</table>
<p><button type="submit" name="DBG_STARTLOG" value="1">Start recording</button> <button type="submit" name="DBG_STOPLOG" value="1">Stop recording</button> <button type="submit" name="DBG_HOME" value="1">Summary</button></p>
<p class="hint">Starting a recording empties the trace file.</p>
</form>
</main>
</div>
<script src="/device.js"></script>
</body>
</html>
