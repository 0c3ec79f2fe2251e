<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - Data log</title>
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
<main class="page" id="datalog">
<h1>Data log</h1>
<!-- Writing the shown range also writes the table of the frame below. -->
<p>Showing: <strong id="data-range"><% DATA_PAGE %></strong></p>
<!-- What it selects is shown at once: nothing typed here is kept, so leaving asks nothing. -->
<form class="settings" method="post" action="/en/hist_data" id="data-form" data-keeps-nothing>
<!-- Enter in a field submits nothing: the default button is disabled. -->
<button type="submit" disabled hidden aria-hidden="true"></button>
<table class="values">
  <tr><th>Records of</th><td><select name="DATA_SELBY" data-value="<% DATA_SELBY %>" data-reload="DATA_SELBY" aria-label="Records of"><option value="0">1 minute</option><option value="3">10 minutes</option><option value="1">1 hour</option><option value="2">12 hours</option></select> <span class="hint">each resolution keeps its own range</span></td></tr>
  <tr><th>From</th><td><input type="text" size="10" name="DATA_FROM" value="<% DATA_FROM %>" placeholder="mm/dd/yyyy" aria-label="From date"></td></tr>
  <tr><th>To</th><td><input type="text" size="10" name="DATA_TO" value="<% DATA_TO %>" placeholder="mm/dd/yyyy" aria-label="To date"></td></tr>
  <tr><th>Chart</th><td><select name="DATA_ITEM1" class="data-item" data-item-value="<% DATA_ITEM1 %>" aria-label="First chart item"></select> <select name="DATA_ITEM2" class="data-item" data-item-value="<% DATA_ITEM2 %>" aria-label="Second chart item"></select></td></tr>
</table>
<p>
  <button type="submit" name="DATA_SHOW" value="1">Show</button>
  <button type="submit" name="DATA_BUT" value="1" formtarget="data-download" data-download="/tempage/hist_data.csv">Download CSV</button>
  <a href="/tempage/hist_data.csv" download class="hint">last download</a>
</p>
</form>
<div id="data-charts"></div>
<iframe name="data-download" id="data-download" class="download-frame" title="Download" hidden></iframe>
<iframe id="data-table" class="table-frame" data-src="/tempage/iframe_data.htm" data-chart="data-charts" data-head="2" data-empty="No records in this range." title="Measurement records"></iframe>
</main>
</div>
<script src="/device.js"></script>
<script src="/hist.js"></script>
</body>
</html>
