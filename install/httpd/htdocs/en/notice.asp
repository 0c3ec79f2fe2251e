<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - Download</title>
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
<main class="page" id="notice" data-delay="<% NOT_DELAY %>">
<h1>Download</h1>
<p id="waiting">The file is being prepared; the download starts in <span id="seconds"><% NOT_DELAY %></span> <span id="unit">seconds</span>.</p>
<p><a id="file" href="#" hidden>Download now</a> <a id="back" href="javascript:history.back()">Back</a></p>
</main>
</div>
<script>
// Opened as notice.asp?file=<name> after a history page asked for an
// export: waits the server's notice delay, then fetches /tempage/<name>.
// Only a plain CSV file name of the export directory is followed.
(function () {
  "use strict";
  var main = document.getElementById("notice");
  var name = new URLSearchParams(location.search).get("file") || "";
  var waiting = document.getElementById("waiting");
  if (!/^[A-Za-z0-9_][A-Za-z0-9_.-]*\.csv$/.test(name)) {
    waiting.textContent = "No export file was named.";
    return;
  }
  var target = "/tempage/" + name;
  var link = document.getElementById("file");
  link.href = target;
  link.hidden = false;
  var left = Number(main.getAttribute("data-delay"));
  if (!(left >= 0)) left = 5;
  var seconds = document.getElementById("seconds"), unit = document.getElementById("unit");
  var step = function () {
    seconds.textContent = String(left);
    unit.textContent = left === 1 ? "second" : "seconds";
    if (left <= 0) {
      waiting.textContent = "The download of " + name + " has started.";
      // Saved as a file, not shown: the notice page stays with its Back link.
      var a = document.createElement("a");
      a.href = target + "?t=" + Date.now();
      a.download = name;
      document.body.appendChild(a);
      a.click();
      a.remove();
      return;
    }
    left -= 1;
    setTimeout(step, 1000);
  };
  step();
})();
</script>
<script src="/device.js"></script>
</body>
</html>
