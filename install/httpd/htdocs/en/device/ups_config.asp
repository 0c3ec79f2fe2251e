<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - UPS settings</title>
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
<main class="page" id="config">
<h1>UPS settings</h1>
<p>Settings of the UPS are sent to it and show here once the UPS reports them back; a setting the UPS does not offer is not shown. The battery-low check, the replacement notice and the outlet switching are the service's own settings. Each Apply button sends its own part only; changes made in other parts are kept, marked as not saved, until their own button applies them, and the page asks before leaving would lose them.</p>
<form class="settings" method="post" action="/en/device/dev_iconfig">
<input type="hidden" name="SYS_UCTOKEN" value="<% SYS_UCTOKEN %>">
<!-- Enter in a field submits nothing: the default button is disabled. -->
<button type="submit" disabled hidden aria-hidden="true"></button>
<h2>Sensitivity and transfer</h2>
<fieldset class="part" data-offer="<% CFG_VSN %>">
  <legend>Voltage sensitivity</legend>
  <label>Voltage sensitivity <input type="number" min="0" max="9999" name="CFG_VSN" value="<% CFG_VSN %>"></label>
  <button type="submit" name="CFG_BVSN" value="1">Apply</button>
</fieldset>
<fieldset class="part" data-offer="<% CFG_TXV_LO %>">
  <legend>Transfer voltages</legend>
  <label>Low transfer voltage (V) <input type="number" min="<% CFG_TXV_L2 %>" max="<% CFG_TXV_L1 %>" name="CFG_LTXV" value="<% CFG_TXV_LO %>"></label>
  <span class="hint" data-limit="<% CFG_TXV_L2 %>"><% CFG_TXV_L2 %> to <% CFG_TXV_L1 %></span>
  <label>High transfer voltage (V) <input type="number" min="<% CFG_TXV_H2 %>" max="<% CFG_TXV_H1 %>" name="CFG_HTXV" value="<% CFG_TXV_HI %>"></label>
  <span class="hint" data-limit="<% CFG_TXV_H2 %>"><% CFG_TXV_H2 %> to <% CFG_TXV_H1 %></span>
  <button type="submit" name="CFG_BTXV" value="1">Apply</button>
</fieldset>
<fieldset class="part" data-offer="<% CFG_TXF_SET %>">
  <legend>Transfer frequency</legend>
  <p>Now <span class="v"><% CFG_TXF_SET %></span>, rated <span class="v"><% CFG_TXF_RATFREQ %></span>, at most <span class="v"><% CFG_TXF_MAX %></span>.</p>
  <label>Transfer frequency <input type="number" min="0" max="9999" name="CFG_TXF" required></label>
  <button type="submit" name="CFG_BTXF" value="1">Apply</button>
</fieldset>
<fieldset class="part" data-offer="<% CFG_BT2_SET %>">
  <legend>Bypass voltage</legend>
  <label>Bypass voltage setting <input type="number" min="0" max="9999" name="CFG_BT2" value="<% CFG_BT2_SET %>"></label>
  <span class="hint">rated <% CFG_BT2_RATVOLT %> V, at most <% CFG_BT2_MAX %></span>
  <button type="submit" name="CFG_BBT2" value="1">Apply</button>
</fieldset>
<fieldset class="part">
  <legend>Battery delay</legend>
  <div data-offer="<% CFG_BDELAY %>"><label>Battery delay (UBD) <input type="number" min="0" max="9999" name="CFG_UBD" value="<% CFG_BDELAY %>"></label></div>
  <div data-offer="<% CFG_ARB %>"><label><input type="checkbox" name="CFG_ARB" data-checked="<% CFG_ARB %>"> ARB on</label></div>
  <button type="submit" name="CFG_BUBD" value="1">Apply</button>
</fieldset>
<h2>Battery</h2>
<fieldset class="part">
  <legend>Battery-low check</legend>
  <label><input type="checkbox" name="CFG_FBL" data-checked="<% CFG_FLAGLBC %>"> Battery-low check on</label>
  <label>Battery-low level (%) <input type="number" min="0" max="100" name="CFG_BL" value="<% CFG_LBCVAL %>"></label>
  <button type="submit" name="CFG_BBL" value="1">Apply</button>
</fieldset>
<fieldset class="part">
  <legend>Battery replacement</legend>
  <label><input type="checkbox" name="CFG_BRN_EN" data-checked="<% CFG_BATTNOTE_EN %>"> Replacement notice</label>
  <label>Replacement notice (days before) <input type="number" min="0" max="65535" name="CFG_BRN_DAY" value="<% CFG_BATTNOTE_DAY %>"></label>
  <label>Last replaced <input type="text" size="10" name="CFG_LRD" value="<% UPS_BATTLAST %>" placeholder="mm/dd/yyyy"></label>
  <label>Next replacement <input type="text" size="10" name="CFG_NRD" value="<% UPS_BATTNEXT %>" placeholder="mm/dd/yyyy"></label>
  <button type="submit" name="CFG_BRD" value="1">Apply</button>
</fieldset>
<fieldset class="part" data-offer="<% CFG_EBP %>">
  <legend>External battery packs</legend>
  <label>External battery packs <input type="number" min="0" max="255" name="CFG_EBP" value="<% CFG_EBP %>"></label>
  <button type="submit" name="CFG_BEBP" value="1">Apply</button>
</fieldset>
<fieldset class="part" data-offer="<% CFG_ATT %>">
  <legend>Automatic test</legend>
  <label>Automatic test (ATT) <input type="number" min="0" max="9999" name="CFG_ATT" value="<% CFG_ATT %>"></label>
  <button type="submit" name="CFG_BATT" value="1">Apply</button>
</fieldset>
<fieldset class="part" data-offer="<% CFG_BTV_TIME %>">
  <legend>Battery test</legend>
  <label>Battery test time <input type="number" min="0" max="9999" name="CFG_BTV_TIME" value="<% CFG_BTV_TIME %>"></label>
  <label>Battery test voltage <input type="number" min="0" max="9999" name="CFG_BTV_VOLT" value="<% CFG_BTV_VOLT %>"></label>
  <button type="submit" name="CFG_BBTV" value="1">Apply</button>
</fieldset>
<h2>Audible alarm and modes</h2>
<fieldset class="part" data-offer="<% CFG_EDB %>">
  <legend>Audible alarm</legend>
  <label><input type="checkbox" name="CFG_EDB" data-checked="<% CFG_EDB %>"> Audible alarm disabled</label>
  <button type="submit" name="CFG_BBUZ" value="1">Apply</button>
</fieldset>
<fieldset class="part" data-cap="<% CFG_ECO %>">
  <legend>Economy mode</legend>
  <label><input type="checkbox" name="CFG_ECO" value="1" data-checked="<% CFG_ECO %>"> Economy mode on</label>
  <button type="submit" name="CFG_BECO" value="1">Apply</button>
</fieldset>
<fieldset class="part" data-cap="<% CFG_GRE %>">
  <legend>Green mode</legend>
  <label><input type="checkbox" name="CFG_GRE" value="1" data-checked="<% CFG_GRE %>"> Green mode on</label>
  <button type="submit" name="CFG_BGRE" value="1">Apply</button>
</fieldset>
<fieldset class="part">
  <legend>Dry contacts</legend>
  <table class="values grid">
    <thead><tr><th>Contact</th><th>Event</th><th>Type</th><th>Disabled</th></tr></thead>
    <tr data-offer="<% CFG_SDC1 %>" data-word="<% CFG_SDC1 %>" data-contact="1"><td>1</td><td><input type="number" min="0" max="127" name="CFG_SDCDRY1" aria-label="Event of contact 1"></td><td><select name="CFG_SDCTYPE1" aria-label="Type of contact 1"><option value="0">0</option><option value="1">1</option></select></td><td><input type="checkbox" name="CFG_SDCDISABLE1" aria-label="Disable contact 1"></td></tr>
    <tr data-offer="<% CFG_SDC2 %>" data-word="<% CFG_SDC2 %>" data-contact="2"><td>2</td><td><input type="number" min="0" max="127" name="CFG_SDCDRY2" aria-label="Event of contact 2"></td><td><select name="CFG_SDCTYPE2" aria-label="Type of contact 2"><option value="0">0</option><option value="1">1</option></select></td><td><input type="checkbox" name="CFG_SDCDISABLE2" aria-label="Disable contact 2"></td></tr>
    <tr data-offer="<% CFG_SDC3 %>" data-word="<% CFG_SDC3 %>" data-contact="3"><td>3</td><td><input type="number" min="0" max="127" name="CFG_SDCDRY3" aria-label="Event of contact 3"></td><td><select name="CFG_SDCTYPE3" aria-label="Type of contact 3"><option value="0">0</option><option value="1">1</option></select></td><td><input type="checkbox" name="CFG_SDCDISABLE3" aria-label="Disable contact 3"></td></tr>
    <tr data-offer="<% CFG_SDC4 %>" data-word="<% CFG_SDC4 %>" data-contact="4"><td>4</td><td><input type="number" min="0" max="127" name="CFG_SDCDRY4" aria-label="Event of contact 4"></td><td><select name="CFG_SDCTYPE4" aria-label="Type of contact 4"><option value="0">0</option><option value="1">1</option></select></td><td><input type="checkbox" name="CFG_SDCDISABLE4" aria-label="Disable contact 4"></td></tr>
    <tr data-offer="<% CFG_SDC5 %>" data-word="<% CFG_SDC5 %>" data-contact="5"><td>5</td><td><input type="number" min="0" max="127" name="CFG_SDCDRY5" aria-label="Event of contact 5"></td><td><select name="CFG_SDCTYPE5" aria-label="Type of contact 5"><option value="0">0</option><option value="1">1</option></select></td><td><input type="checkbox" name="CFG_SDCDISABLE5" aria-label="Disable contact 5"></td></tr>
    <tr data-offer="<% CFG_SDC6 %>" data-word="<% CFG_SDC6 %>" data-contact="6"><td>6</td><td><input type="number" min="0" max="127" name="CFG_SDCDRY6" aria-label="Event of contact 6"></td><td><select name="CFG_SDCTYPE6" aria-label="Type of contact 6"><option value="0">0</option><option value="1">1</option></select></td><td><input type="checkbox" name="CFG_SDCDISABLE6" aria-label="Disable contact 6"></td></tr>
  </table>
  <button type="submit" name="CFG_BSDC" value="1">Apply dry contacts</button>
</fieldset>
<fieldset class="part" data-outlets="<% CTL_LETNUM %>">
  <legend>Outlets switched off by the service</legend>
  <table class="values grid">
    <thead><tr><th>Outlet</th><th>On power failure</th><th>On battery low</th></tr></thead>
    <tr data-outlet="1"><td>1</td><td><input type="checkbox" name="REA_PF_LB_EN1" data-checked="<% CFG_PF_LB_EN1 %>" aria-label="Off on power failure, outlet 1"> after <input type="number" min="0" max="65535" name="REA_PF_LB1" value="<% CFG_PF_LB_DELAY1 %>" aria-label="Power failure delay, outlet 1 (s)"> s</td><td><input type="checkbox" name="REA_BL_LB_EN1" data-checked="<% CFG_BL_LB_EN1 %>" aria-label="Off on battery low, outlet 1"> after <input type="number" min="0" max="65535" name="REA_BL_LB1" value="<% CFG_BL_LB_DELAY1 %>" aria-label="Battery low delay, outlet 1 (s)"> s</td></tr>
    <tr data-outlet="2"><td>2</td><td><input type="checkbox" name="REA_PF_LB_EN2" data-checked="<% CFG_PF_LB_EN2 %>" aria-label="Off on power failure, outlet 2"> after <input type="number" min="0" max="65535" name="REA_PF_LB2" value="<% CFG_PF_LB_DELAY2 %>" aria-label="Power failure delay, outlet 2 (s)"> s</td><td><input type="checkbox" name="REA_BL_LB_EN2" data-checked="<% CFG_BL_LB_EN2 %>" aria-label="Off on battery low, outlet 2"> after <input type="number" min="0" max="65535" name="REA_BL_LB2" value="<% CFG_BL_LB_DELAY2 %>" aria-label="Battery low delay, outlet 2 (s)"> s</td></tr>
    <tr data-outlet="3"><td>3</td><td><input type="checkbox" name="REA_PF_LB_EN3" data-checked="<% CFG_PF_LB_EN3 %>" aria-label="Off on power failure, outlet 3"> after <input type="number" min="0" max="65535" name="REA_PF_LB3" value="<% CFG_PF_LB_DELAY3 %>" aria-label="Power failure delay, outlet 3 (s)"> s</td><td><input type="checkbox" name="REA_BL_LB_EN3" data-checked="<% CFG_BL_LB_EN3 %>" aria-label="Off on battery low, outlet 3"> after <input type="number" min="0" max="65535" name="REA_BL_LB3" value="<% CFG_BL_LB_DELAY3 %>" aria-label="Battery low delay, outlet 3 (s)"> s</td></tr>
    <tr data-outlet="4"><td>4</td><td><input type="checkbox" name="REA_PF_LB_EN4" data-checked="<% CFG_PF_LB_EN4 %>" aria-label="Off on power failure, outlet 4"> after <input type="number" min="0" max="65535" name="REA_PF_LB4" value="<% CFG_PF_LB_DELAY4 %>" aria-label="Power failure delay, outlet 4 (s)"> s</td><td><input type="checkbox" name="REA_BL_LB_EN4" data-checked="<% CFG_BL_LB_EN4 %>" aria-label="Off on battery low, outlet 4"> after <input type="number" min="0" max="65535" name="REA_BL_LB4" value="<% CFG_BL_LB_DELAY4 %>" aria-label="Battery low delay, outlet 4 (s)"> s</td></tr>
    <tr data-outlet="5"><td>5</td><td><input type="checkbox" name="REA_PF_LB_EN5" data-checked="<% CFG_PF_LB_EN5 %>" aria-label="Off on power failure, outlet 5"> after <input type="number" min="0" max="65535" name="REA_PF_LB5" value="<% CFG_PF_LB_DELAY5 %>" aria-label="Power failure delay, outlet 5 (s)"> s</td><td><input type="checkbox" name="REA_BL_LB_EN5" data-checked="<% CFG_BL_LB_EN5 %>" aria-label="Off on battery low, outlet 5"> after <input type="number" min="0" max="65535" name="REA_BL_LB5" value="<% CFG_BL_LB_DELAY5 %>" aria-label="Battery low delay, outlet 5 (s)"> s</td></tr>
    <tr data-outlet="6"><td>6</td><td><input type="checkbox" name="REA_PF_LB_EN6" data-checked="<% CFG_PF_LB_EN6 %>" aria-label="Off on power failure, outlet 6"> after <input type="number" min="0" max="65535" name="REA_PF_LB6" value="<% CFG_PF_LB_DELAY6 %>" aria-label="Power failure delay, outlet 6 (s)"> s</td><td><input type="checkbox" name="REA_BL_LB_EN6" data-checked="<% CFG_BL_LB_EN6 %>" aria-label="Off on battery low, outlet 6"> after <input type="number" min="0" max="65535" name="REA_BL_LB6" value="<% CFG_BL_LB_DELAY6 %>" aria-label="Battery low delay, outlet 6 (s)"> s</td></tr>
    <tr data-outlet="7"><td>7</td><td><input type="checkbox" name="REA_PF_LB_EN7" data-checked="<% CFG_PF_LB_EN7 %>" aria-label="Off on power failure, outlet 7"> after <input type="number" min="0" max="65535" name="REA_PF_LB7" value="<% CFG_PF_LB_DELAY7 %>" aria-label="Power failure delay, outlet 7 (s)"> s</td><td><input type="checkbox" name="REA_BL_LB_EN7" data-checked="<% CFG_BL_LB_EN7 %>" aria-label="Off on battery low, outlet 7"> after <input type="number" min="0" max="65535" name="REA_BL_LB7" value="<% CFG_BL_LB_DELAY7 %>" aria-label="Battery low delay, outlet 7 (s)"> s</td></tr>
    <tr data-outlet="8"><td>8</td><td><input type="checkbox" name="REA_PF_LB_EN8" data-checked="<% CFG_PF_LB_EN8 %>" aria-label="Off on power failure, outlet 8"> after <input type="number" min="0" max="65535" name="REA_PF_LB8" value="<% CFG_PF_LB_DELAY8 %>" aria-label="Power failure delay, outlet 8 (s)"> s</td><td><input type="checkbox" name="REA_BL_LB_EN8" data-checked="<% CFG_BL_LB_EN8 %>" aria-label="Off on battery low, outlet 8"> after <input type="number" min="0" max="65535" name="REA_BL_LB8" value="<% CFG_BL_LB_DELAY8 %>" aria-label="Battery low delay, outlet 8 (s)"> s</td></tr>
  </table>
  <button type="submit" name="CFG_OUTLET" value="1">Apply outlets</button>
</fieldset>
</form>
</main>
</div>
<script src="/device.js"></script>
</body>
</html>
