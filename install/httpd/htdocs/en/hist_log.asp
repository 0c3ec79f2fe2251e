<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - Event log</title>
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
<main class="page" id="eventlog">
<h1>Event log</h1>
<!-- Writing the shown range also writes the table of the frame below. -->
<p>Showing: <strong id="log-range"><% LOG_PAGE %></strong></p>
<!-- What it selects is shown at once: nothing typed here is kept, so leaving asks nothing. -->
<form class="settings" method="post" action="/en/hist_log" id="log-form" data-keeps-nothing>
<!-- Enter in a field submits nothing: the default button is disabled. -->
<button type="submit" disabled hidden aria-hidden="true"></button>
<p>
  <label><input type="radio" name="LOG_VIEW" value="1" data-view="log-by-page" data-checked="<% LOG_ISPAGE %>"> By page</label>
  <label><input type="radio" name="LOG_VIEW" value="0" data-view="log-by-date" data-checked="<% LOG_ISDATE %>"> By date</label>
</p>
<p id="log-by-page" class="view">
  <input type="submit" name="LOG_BUTF" value="&lt;&lt;" aria-label="First page">
  <% LOG_BUTTON %>
  <input type="submit" name="LOG_BUTL" value="&gt;&gt;" aria-label="Last page">
</p>
<p id="log-by-date" class="view">
  From <input type="text" size="10" name="LOG_FROM" value="<% LOG_FROM %>" placeholder="mm/dd/yyyy" aria-label="From date">
  to <input type="text" size="10" name="LOG_TO" value="<% LOG_TO %>" placeholder="mm/dd/yyyy" aria-label="To date">
  <button type="submit" name="BUT_APPLY" value="1">Show</button>
</p>
<p id="log-levels" data-select="<% LOG_SELECTID %>">Levels shown (none ticked: all):
  <label><input type="checkbox" name="LOG_SELID0" data-bit="0" data-level="System"> System</label>
  <label><input type="checkbox" name="LOG_SELID1" data-bit="1" data-level="Information"> Information</label>
  <label><input type="checkbox" name="LOG_SELID2" data-bit="2" data-level="Warning"> Warning</label>
  <label><input type="checkbox" name="LOG_SELID3" data-bit="3" data-level="Severity"> Severity</label>
</p>
<p>
  <button type="submit" name="DLLOG_BUT" value="1" formtarget="log-download" data-download="/tempage/event_log.csv">Download CSV</button>
  <a href="/tempage/event_log.csv" download class="hint">last download</a>
</p>
</form>
<iframe name="log-download" id="log-download" class="download-frame" title="Download" hidden></iframe>
<iframe id="log-table" class="table-frame" data-src="/tempage/iframe_log.htm" data-filter="log-levels" data-head="1" data-empty="No events in this range." title="Event records"></iframe>
</main>
</div>
<script src="/device.js"></script>
<script src="/hist.js"></script>
</body>
</html>
