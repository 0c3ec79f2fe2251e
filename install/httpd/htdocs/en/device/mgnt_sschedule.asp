<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - Date schedule</title>
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
<main class="page" id="sschedule">
<h1>Date schedule</h1>
<p>An entry runs its action on its date at its time and replaces the weekly entries of that action on that date; the action "No schedule this day" blocks every action of the date. The date 00/00/2000 marks an unused entry.</p>
<form class="settings" method="post" action="/en/device/mgnt_sschedule">
<input type="hidden" name="SYS_UCTOKEN" value="<% SYS_UCTOKEN %>">
<!-- Enter in a field submits nothing: the default button is disabled. -->
<button type="submit" disabled hidden aria-hidden="true"></button>
<table class="values grid" id="specific">
  <thead><tr><th>Entry</th><th>Date</th><th>Time</th><th>Action</th></tr></thead>
  <tr><td>1</td><td><input type="text" size="10" name="SSH_SD1" value="<% SSH_SD1 %>" placeholder="mm/dd/yyyy" aria-label="Date, entry 1"></td><td><input type="text" size="5" name="SSH_TM1" value="<% SSH_TM1 %>" placeholder="hh:mm" aria-label="Time, entry 1"></td><td><select name="SSH_ACT1" data-value="<% SSH_AC1 %>" aria-label="Action, entry 1"><option value="0">No schedule this day</option><option value="1">Shut down</option><option value="2">UPS restores power</option><option value="3">UPS self-test</option><option value="4">UPS deep self-test</option></select></td></tr>
  <tr><td>2</td><td><input type="text" size="10" name="SSH_SD2" value="<% SSH_SD2 %>" placeholder="mm/dd/yyyy" aria-label="Date, entry 2"></td><td><input type="text" size="5" name="SSH_TM2" value="<% SSH_TM2 %>" placeholder="hh:mm" aria-label="Time, entry 2"></td><td><select name="SSH_ACT2" data-value="<% SSH_AC2 %>" aria-label="Action, entry 2"><option value="0">No schedule this day</option><option value="1">Shut down</option><option value="2">UPS restores power</option><option value="3">UPS self-test</option><option value="4">UPS deep self-test</option></select></td></tr>
  <tr><td>3</td><td><input type="text" size="10" name="SSH_SD3" value="<% SSH_SD3 %>" placeholder="mm/dd/yyyy" aria-label="Date, entry 3"></td><td><input type="text" size="5" name="SSH_TM3" value="<% SSH_TM3 %>" placeholder="hh:mm" aria-label="Time, entry 3"></td><td><select name="SSH_ACT3" data-value="<% SSH_AC3 %>" aria-label="Action, entry 3"><option value="0">No schedule this day</option><option value="1">Shut down</option><option value="2">UPS restores power</option><option value="3">UPS self-test</option><option value="4">UPS deep self-test</option></select></td></tr>
  <tr><td>4</td><td><input type="text" size="10" name="SSH_SD4" value="<% SSH_SD4 %>" placeholder="mm/dd/yyyy" aria-label="Date, entry 4"></td><td><input type="text" size="5" name="SSH_TM4" value="<% SSH_TM4 %>" placeholder="hh:mm" aria-label="Time, entry 4"></td><td><select name="SSH_ACT4" data-value="<% SSH_AC4 %>" aria-label="Action, entry 4"><option value="0">No schedule this day</option><option value="1">Shut down</option><option value="2">UPS restores power</option><option value="3">UPS self-test</option><option value="4">UPS deep self-test</option></select></td></tr>
  <tr><td>5</td><td><input type="text" size="10" name="SSH_SD5" value="<% SSH_SD5 %>" placeholder="mm/dd/yyyy" aria-label="Date, entry 5"></td><td><input type="text" size="5" name="SSH_TM5" value="<% SSH_TM5 %>" placeholder="hh:mm" aria-label="Time, entry 5"></td><td><select name="SSH_ACT5" data-value="<% SSH_AC5 %>" aria-label="Action, entry 5"><option value="0">No schedule this day</option><option value="1">Shut down</option><option value="2">UPS restores power</option><option value="3">UPS self-test</option><option value="4">UPS deep self-test</option></select></td></tr>
  <tr><td>6</td><td><input type="text" size="10" name="SSH_SD6" value="<% SSH_SD6 %>" placeholder="mm/dd/yyyy" aria-label="Date, entry 6"></td><td><input type="text" size="5" name="SSH_TM6" value="<% SSH_TM6 %>" placeholder="hh:mm" aria-label="Time, entry 6"></td><td><select name="SSH_ACT6" data-value="<% SSH_AC6 %>" aria-label="Action, entry 6"><option value="0">No schedule this day</option><option value="1">Shut down</option><option value="2">UPS restores power</option><option value="3">UPS self-test</option><option value="4">UPS deep self-test</option></select></td></tr>
  <tr><td>7</td><td><input type="text" size="10" name="SSH_SD7" value="<% SSH_SD7 %>" placeholder="mm/dd/yyyy" aria-label="Date, entry 7"></td><td><input type="text" size="5" name="SSH_TM7" value="<% SSH_TM7 %>" placeholder="hh:mm" aria-label="Time, entry 7"></td><td><select name="SSH_ACT7" data-value="<% SSH_AC7 %>" aria-label="Action, entry 7"><option value="0">No schedule this day</option><option value="1">Shut down</option><option value="2">UPS restores power</option><option value="3">UPS self-test</option><option value="4">UPS deep self-test</option></select></td></tr>
  <tr><td>8</td><td><input type="text" size="10" name="SSH_SD8" value="<% SSH_SD8 %>" placeholder="mm/dd/yyyy" aria-label="Date, entry 8"></td><td><input type="text" size="5" name="SSH_TM8" value="<% SSH_TM8 %>" placeholder="hh:mm" aria-label="Time, entry 8"></td><td><select name="SSH_ACT8" data-value="<% SSH_AC8 %>" aria-label="Action, entry 8"><option value="0">No schedule this day</option><option value="1">Shut down</option><option value="2">UPS restores power</option><option value="3">UPS self-test</option><option value="4">UPS deep self-test</option></select></td></tr>
  <tr><td>9</td><td><input type="text" size="10" name="SSH_SD9" value="<% SSH_SD9 %>" placeholder="mm/dd/yyyy" aria-label="Date, entry 9"></td><td><input type="text" size="5" name="SSH_TM9" value="<% SSH_TM9 %>" placeholder="hh:mm" aria-label="Time, entry 9"></td><td><select name="SSH_ACT9" data-value="<% SSH_AC9 %>" aria-label="Action, entry 9"><option value="0">No schedule this day</option><option value="1">Shut down</option><option value="2">UPS restores power</option><option value="3">UPS self-test</option><option value="4">UPS deep self-test</option></select></td></tr>
  <tr><td>10</td><td><input type="text" size="10" name="SSH_SD10" value="<% SSH_SD10 %>" placeholder="mm/dd/yyyy" aria-label="Date, entry 10"></td><td><input type="text" size="5" name="SSH_TM10" value="<% SSH_TM10 %>" placeholder="hh:mm" aria-label="Time, entry 10"></td><td><select name="SSH_ACT10" data-value="<% SSH_AC10 %>" aria-label="Action, entry 10"><option value="0">No schedule this day</option><option value="1">Shut down</option><option value="2">UPS restores power</option><option value="3">UPS self-test</option><option value="4">UPS deep self-test</option></select></td></tr>
  <tr><td>11</td><td><input type="text" size="10" name="SSH_SD11" value="<% SSH_SD11 %>" placeholder="mm/dd/yyyy" aria-label="Date, entry 11"></td><td><input type="text" size="5" name="SSH_TM11" value="<% SSH_TM11 %>" placeholder="hh:mm" aria-label="Time, entry 11"></td><td><select name="SSH_ACT11" data-value="<% SSH_AC11 %>" aria-label="Action, entry 11"><option value="0">No schedule this day</option><option value="1">Shut down</option><option value="2">UPS restores power</option><option value="3">UPS self-test</option><option value="4">UPS deep self-test</option></select></td></tr>
  <tr><td>12</td><td><input type="text" size="10" name="SSH_SD12" value="<% SSH_SD12 %>" placeholder="mm/dd/yyyy" aria-label="Date, entry 12"></td><td><input type="text" size="5" name="SSH_TM12" value="<% SSH_TM12 %>" placeholder="hh:mm" aria-label="Time, entry 12"></td><td><select name="SSH_ACT12" data-value="<% SSH_AC12 %>" aria-label="Action, entry 12"><option value="0">No schedule this day</option><option value="1">Shut down</option><option value="2">UPS restores power</option><option value="3">UPS self-test</option><option value="4">UPS deep self-test</option></select></td></tr>
  <tr><td>13</td><td><input type="text" size="10" name="SSH_SD13" value="<% SSH_SD13 %>" placeholder="mm/dd/yyyy" aria-label="Date, entry 13"></td><td><input type="text" size="5" name="SSH_TM13" value="<% SSH_TM13 %>" placeholder="hh:mm" aria-label="Time, entry 13"></td><td><select name="SSH_ACT13" data-value="<% SSH_AC13 %>" aria-label="Action, entry 13"><option value="0">No schedule this day</option><option value="1">Shut down</option><option value="2">UPS restores power</option><option value="3">UPS self-test</option><option value="4">UPS deep self-test</option></select></td></tr>
  <tr><td>14</td><td><input type="text" size="10" name="SSH_SD14" value="<% SSH_SD14 %>" placeholder="mm/dd/yyyy" aria-label="Date, entry 14"></td><td><input type="text" size="5" name="SSH_TM14" value="<% SSH_TM14 %>" placeholder="hh:mm" aria-label="Time, entry 14"></td><td><select name="SSH_ACT14" data-value="<% SSH_AC14 %>" aria-label="Action, entry 14"><option value="0">No schedule this day</option><option value="1">Shut down</option><option value="2">UPS restores power</option><option value="3">UPS self-test</option><option value="4">UPS deep self-test</option></select></td></tr>
  <tr><td>15</td><td><input type="text" size="10" name="SSH_SD15" value="<% SSH_SD15 %>" placeholder="mm/dd/yyyy" aria-label="Date, entry 15"></td><td><input type="text" size="5" name="SSH_TM15" value="<% SSH_TM15 %>" placeholder="hh:mm" aria-label="Time, entry 15"></td><td><select name="SSH_ACT15" data-value="<% SSH_AC15 %>" aria-label="Action, entry 15"><option value="0">No schedule this day</option><option value="1">Shut down</option><option value="2">UPS restores power</option><option value="3">UPS self-test</option><option value="4">UPS deep self-test</option></select></td></tr>
  <tr><td>16</td><td><input type="text" size="10" name="SSH_SD16" value="<% SSH_SD16 %>" placeholder="mm/dd/yyyy" aria-label="Date, entry 16"></td><td><input type="text" size="5" name="SSH_TM16" value="<% SSH_TM16 %>" placeholder="hh:mm" aria-label="Time, entry 16"></td><td><select name="SSH_ACT16" data-value="<% SSH_AC16 %>" aria-label="Action, entry 16"><option value="0">No schedule this day</option><option value="1">Shut down</option><option value="2">UPS restores power</option><option value="3">UPS self-test</option><option value="4">UPS deep self-test</option></select></td></tr>
</table>
<p><button type="submit" name="SSH_APPLY" value="1">Apply</button></p>
</form>
<h2>Planned next</h2>
<p>Both schedules together, within the next 31 days.</p>
<table class="values">
  <tr><th>Shutdown</th><td id="next-off" data-next-shutdown><% UPS_SCH_NEXTOFF %></td></tr>
  <tr><th>UPS restores power</th><td id="next-on"><% UPS_SCH_NEXTON %></td></tr>
  <tr><th>UPS self-test</th><td id="next-test"><% UPS_SCH_NEXTTEST %></td></tr>
  <tr><th>UPS deep self-test</th><td id="next-deeptest"><% UPS_SCH_NEXTDEEPTEST %></td></tr>
</table>
</main>
</div>
<script src="/device.js"></script>
</body>
</html>
