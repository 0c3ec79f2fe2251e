<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - Status</title>
<link rel="stylesheet" href="/style.css">
<link rel="icon" href="/favicon.ico">
</head>
<body data-refresh="<% WEB_REFRESH %>">
<header class="bar">
  <span class="brand">Brisvane</span>
  <nav><a href="/logout.asp?token=<% SYS_LINKTOKEN %>">Log out</a></nav>
</header>
<% SUM_OS_BANNER %>
<div class="layout">
<nav id="menu" aria-label="Pages" data-level="<% LIN_LOGIN_LEVEL %>"></nav>
<main class="page" id="status">
<h1>Status</h1>
<h2>Alarms</h2>
<div class="alarms" id="alarms">
  <div class="alarm lvl<% IMG_STS_COMMERR %>" id="img_sts_commerr">Communication lost</div>
  <div class="alarm lvl<% IMG_STS_ACFAIL %>" id="img_sts_acfail">Utility power failure</div>
  <div class="alarm lvl<% IMG_STS_BATTLOW %>" id="img_sts_battlow">Battery low</div>
  <div class="alarm lvl<% IMG_STS_BATTDEPLETED %>" id="img_sts_battdepleted">Battery depleted</div>
  <div class="alarm lvl<% IMG_STS_BATTREPLACE %>" id="img_sts_battreplace">Battery needs replacement</div>
  <div class="alarm lvl<% IMG_STS_TESTING %>" id="img_sts_testing">Battery test running</div>
  <div class="alarm lvl<% IMG_STS_TESTFAIL %>" id="img_sts_testfail">Battery test failed</div>
  <div class="alarm lvl<% IMG_STS_BATTGROUND %>" id="img_sts_battground">Battery ground fault</div>
  <div class="alarm lvl<% IMG_STS_OVERLOAD %>" id="img_sts_overload">Overload</div>
  <div class="alarm lvl<% IMG_STS_OVERTEMP %>" id="img_sts_overtemp">Over temperature</div>
  <div class="alarm lvl<% IMG_STS_UPSFAIL %>" id="img_sts_upsfail">UPS failure</div>
  <div class="alarm lvl<% IMG_STS_ONBYPASS %>" id="img_sts_onbypass">On bypass</div>
  <div class="alarm lvl<% IMG_STS_ONRESERVE %>" id="img_sts_onreserve">On reserve</div>
  <div class="alarm lvl<% IMG_STS_BYPASS %>" id="img_sts_bypass">Bypass alarm</div>
  <div class="alarm lvl<% IMG_STS_SYSTEMOFF %>" id="img_sts_systemoff">System off</div>
  <div class="alarm lvl<% IMG_STS_SHUTDOWN %>" id="img_sts_shutdown">UPS shutting down</div>
  <div class="alarm lvl<% IMG_STS_OUTPUTBAD %>" id="img_sts_outputbad">Output bad</div>
  <div class="alarm lvl<% IMG_STS_OUTPUTOFF %>" id="img_sts_outputoff">Output off</div>
  <div class="alarm lvl<% IMG_STS_OUTPUTOVERVOLT %>" id="img_sts_outputovervolt">Output over-voltage</div>
  <div class="alarm lvl<% IMG_STS_OUTPUTUNDERVOLT %>" id="img_sts_outputundervolt">Output under-voltage</div>
  <div class="alarm lvl<% IMG_STS_OUTBREAKER %>" id="img_sts_outbreaker">Output breaker open</div>
  <div class="alarm lvl<% IMG_STS_FANFAIL %>" id="img_sts_fanfail">Fan failure</div>
  <div class="alarm lvl<% IMG_STS_FUSEFAIL %>" id="img_sts_fusefail">Fuse failure</div>
  <div class="alarm lvl<% IMG_STS_INVERTER %>" id="img_sts_inverter">Inverter alarm</div>
  <div class="alarm lvl<% IMG_STS_CHARGER %>" id="img_sts_charger">Charger alarm</div>
  <div class="alarm lvl<% IMG_STS_RECTIFIER %>" id="img_sts_rectifier">Rectifier alarm</div>
  <div class="alarm lvl<% IMG_STS_ASYNC %>" id="img_sts_async">Not synchronised</div>
  <div class="alarm lvl<% IMG_STS_EPO %>" id="img_sts_epo">Emergency power off</div>
  <div class="alarm lvl<% IMG_STS_ECONOMIC %>" id="img_sts_economic">Economy mode</div>
  <div class="alarm lvl<% IMG_STS_GREENMODE %>" id="img_sts_greenmode">Green mode</div>
  <div class="alarm lvl<% IMG_STS_REDUNDANCY %>" id="img_sts_redundancy">Redundancy lost</div>
  <div class="alarm lvl<% IMG_STS_POWERODULE %>" id="img_sts_powerodule">Power module alarm</div>
  <div class="alarm lvl<% IMG_STS_BUZSTATE %>" id="img_sts_buzstate">Audible alarm disabled</div>
  <div class="alarm lvl<% IMG_STS_BUZSTATUS %>" id="img_sts_buzstatus">Audible alarm muted</div>
</div>
<h2>Battery and output</h2>
<table class="values">
  <tr><th>Output source</th><td class="sev<% PRP_C_OUTSRC %>" data-map="0:Utility|1:Battery|2:Bypass|3:Utility, voltage lowered (buck)|4:Utility, voltage raised (boost)|5:Source 5|6:Source 6|7:Output off|8:Utility" id="outsrc"><% UPS_OUTSRC %></td></tr>
  <tr><th>Battery</th><td class="sev<% PRP_C_BATTSTS %>" data-map="0:Normal|1:Weak|2:Low|3:Depleted|4:Replace" id="battsts"><% UPS_BATTSTS %></td></tr>
  <tr><th>Charging</th><td class="sev<% PRP_C_BATTCHARGE %>" data-map="0:Idle|1:Charging|2:Discharging" id="battcharge"><% UPS_BATTCHARGE %></td></tr>
  <tr><th>Time on battery</th><td><span class="v sev<% PRP_C_ONBATTTIME %>" id="onbatt"><% UPS_ONBATTTIME %></span><span class="unit">s</span></td></tr>
  <tr><th>Battery test result</th><td class="sev<% PRP_C_TESTRESULT %>" data-map="0:No test run|1:Passed|2:Running|3:Failed|4:Failed|5:Failed|6:No test run" id="testresult"><% UPS_TESTRESULT %></td></tr>
  <tr><th>Last battery replacement</th><td><% UPS_BATTLAST %></td></tr>
  <tr><th>Next battery replacement</th><td><% UPS_BATTNEXT %></td></tr>
  <tr><th>Outlets</th><td id="outlet-states" data-outlet-states><% UPS_OUTLETSTS %></td></tr>
  <tr><th>Shutdown countdown</th><td><span class="secs"><% SUM_OS_COUNTDOWN %></span></td></tr>
</table>
</main>
</div>
<script src="/device.js"></script>
</body>
</html>
