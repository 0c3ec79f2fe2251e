// Shared script of the device pages: the navigation menu (one button at a
// phone's width), the shutdown countdown banner and state, the factory
// secrets' notice, readings the UPS does not report, codes shown as words,
// check boxes set from their values, the settings forms in parts (a setting
// the UPS lacks is left out of every post; a button posts its own part
// only; edits not saved are marked, and those of the other parts are kept
// across the post until their own button applies them), tables that fit
// the screen (a table too wide for it shows each row as a block of
// labelled cells), the tables built
// from the list variables (event records, power modules, battery modules,
// outlets, dry contacts, alarms, empty lists), and the reloads of the status
// pages, which keep what the operator had opened. The values themselves are
// filled in by the server.
(function () {
  "use strict";

  // Every page of the interface; a new page adds its line here, with the
  // highest access level that may use it (0 administrator, 1 device,
  // 2 user): each account's menu shows only the pages it may use.
  var MENU = [
    { title: "UPS", pages: [
      ["/home.asp", "Summary", 2],
      ["/en/device/ups_status.asp", "Status", 2],
      ["/en/device/ups_measure.asp", "Measurements", 2],
      ["/en/device/ups_module.asp", "Modules", 2],
      ["/en/device/ups_info.asp", "Identity", 2]
    ] },
    { title: "Settings", pages: [
      ["/en/device/ups_config.asp", "UPS settings", 1],
      ["/en/device/mgnt_reaction.asp", "Shutdown and reactions", 1],
      ["/en/device/mgnt_wschedule.asp", "Weekly schedule", 1],
      ["/en/device/mgnt_sschedule.asp", "Date schedule", 1],
      ["/en/device/mgnt_comport.asp", "UPS port", 1]
    ] },
    { title: "Control", pages: [
      ["/en/device/mgnt_control.asp", "Control", 1]
    ] },
    { title: "Events and wake-up", pages: [
      ["/en/device/dev_event.asp", "Event levels", 1],
      ["/en/net_wol.asp", "Wake-on-LAN", 1]
    ] },
    { title: "System", pages: [
      ["/en/sys_user.asp", "Accounts", 0],
      ["/en/sys_info.asp", "System information", 0],
      ["/en/sys_web.asp", "Web server", 0],
      ["/en/sys_lang.asp", "Language", 0],
      ["/en/net_mail.asp", "Mail", 0],
      ["/en/net_sms.asp", "SMS", 0]
    ] },
    { title: "SNMP", pages: [
      ["/en/net_snmpaccess.asp", "Agent and access", 1],
      ["/en/net_snmpusm.asp", "SNMPv3 users", 1],
      ["/en/device/net_snmptrap.asp", "Traps and shutdown clients", 1]
    ] },
    { title: "Maintenance", pages: [
      ["/en/sys_batch.asp", "Configuration file", 0],
      ["/debug.asp", "Link statistics", 1]
    ] },
    { title: "History", pages: [
      ["/en/hist_log.asp", "Event log", 2],
      ["/en/hist_data.asp", "Data log", 2],
      ["/en/hist_config.asp", "History settings", 1]
    ] }
  ];

  var LEVELS = ["System", "Information", "Warning", "Severity"];

  function el(tag, text, cls) {
    var e = document.createElement(tag);
    if (text !== undefined && text !== null) e.textContent = text;
    if (cls) e.className = cls;
    return e;
  }

  // The session's access level, written by the server into the menu; an
  // unknown one gets the fewest pages.
  function level() {
    var nav = document.getElementById("menu");
    var n = nav ? Number(nav.getAttribute("data-level")) : NaN;
    return n >= 0 && n <= 2 ? n : 2;
  }

  function buildMenu() {
    var nav = document.getElementById("menu");
    if (!nav) return;
    var mine = level();
    MENU.forEach(function (group) {
      var pages = group.pages.filter(function (p) { return mine <= p[2]; });
      if (!pages.length) return;
      nav.appendChild(el("h2", group.title));
      pages.forEach(function (p) {
        var a = el("a", p[1]);
        a.href = p[0];
        if (p[0] === location.pathname) a.setAttribute("aria-current", "page");
        nav.appendChild(a);
      });
    });
  }

  // At a phone's width the menu is one button that opens and closes it.
  function collapsibleMenu() {
    var nav = document.getElementById("menu");
    if (!nav || !nav.children.length) return;
    var links = el("div");
    links.id = "menu-links";
    while (nav.firstChild) links.appendChild(nav.firstChild);
    var toggle = el("button", "Menu", "menu-toggle");
    toggle.type = "button";
    toggle.setAttribute("aria-expanded", "false");
    toggle.setAttribute("aria-controls", "menu-links");
    var current = links.querySelector("a[aria-current]");
    if (current) toggle.appendChild(el("span", current.textContent, "menu-current"));
    toggle.addEventListener("click", function () {
      var open = nav.classList.toggle("open");
      toggle.setAttribute("aria-expanded", open ? "true" : "false");
    });
    nav.appendChild(toggle);
    nav.appendChild(links);
  }

  // Seconds as mm:ss (minutes beyond 59 stay minutes).
  function mmss(seconds) {
    var m = Math.floor(seconds / 60), s = seconds % 60;
    return (m < 10 ? "0" : "") + m + ":" + (s < 10 ? "0" : "") + s;
  }

  // The countdown banner counts down by itself between two page loads; a
  // cancelled countdown stands still.
  function countdownBanner() {
    var banner = document.getElementById("countdown-banner");
    if (!banner || banner.getAttribute("data-cancelled") === "1") return;
    var left = Number(banner.getAttribute("data-remaining"));
    var shown = banner.querySelector(".mmss");
    if (!(left >= 0) || !shown) return;
    var started = Date.now();
    var timer = setInterval(function () {
      var now = Math.max(0, left - Math.floor((Date.now() - started) / 1000));
      shown.textContent = mmss(now);
      if (now === 0) clearInterval(timer);
    }, 500);
  }

  // Kept for the browser tab (sessionStorage); the login and logout pages
  // forget what a session put away.
  var store = {
    get: function (key) { try { return window.sessionStorage.getItem(key); } catch (e) { return null; } },
    set: function (key, value) { try { window.sessionStorage.setItem(key, value); } catch (e) { /* none kept */ } },
    remove: function (key) { try { window.sessionStorage.removeItem(key); } catch (e) { /* none kept */ } }
  };
  var NOTICE_HIDDEN = "default-passwords-hidden";

  // One line of the notice: its text with the link to the page where the
  // secret is changed ("... on <a>title</a>.").
  function noticeLine(text, title, href) {
    var line = el("p", text + " on ");
    line.appendChild(el("a", title)).href = href;
    line.appendChild(document.createTextNode("."));
    return line;
  }
  function listed(words) {
    return words.length > 1 ? words.slice(0, -1).join(", ") + " and " + words[words.length - 1] : words[0];
  }
  var ACCESS = { 1: "read only", 2: "read and write" };

  // After the administrator's login the summary names each factory secret
  // still in force, on every load until it is changed or the operator puts
  // the notice away for the session: the accounts that still have the
  // factory password (bit i of data-mask: account i), and the SNMPv3 users
  // with a factory password and the factory SNMPv1 communities, which are
  // published with the daemon (the elements of the template default-snmp).
  function factorySecrets() {
    var notice = document.getElementById("default-passwords");
    if (!notice || store.get(NOTICE_HIDDEN) !== null) return;
    var lines = [];
    var mask = Number(notice.getAttribute("data-mask"));
    var accounts = ["administrator", "device", "user"].filter(function (n, i) { return mask > 0 && mask & (1 << i); });
    if (accounts.length) {
      var many = accounts.length > 1;
      lines.push(noticeLine("The " + listed(accounts) + (many ? " accounts still have" : " account still has") +
        " the factory password: change " + (many ? "them" : "it"), "System > Accounts", "/en/sys_user.asp"));
    }
    var snmp = listOf("default-snmp");
    if (snmp) {
      Array.prototype.forEach.call(snmp.querySelectorAll("snmp-user"), function (u) {
        var which = [], keys = [];
        if (u.getAttribute("auth") === "1") which.push("authentication"), keys.push("Auth1=");
        if (u.getAttribute("priv") === "1") which.push("privacy"), keys.push("Priv1=");
        var text = "The SNMPv3 user " + u.getAttribute("name") + " (" + ACCESS[u.getAttribute("permission")] +
          ") still has the factory " + listed(which) + " password" + (which.length > 1 ? "s" : "") +
          ", published with the daemon: change " + (which.length > 1 ? "them" : "it");
        // The manager is changed in config.ini only.
        lines.push(u.getAttribute("row") === "1" ?
          noticeLine(text + " as " + listed(keys) + " of [USM] in config.ini", "Maintenance > Configuration file",
                     "/en/sys_batch.asp") :
          noticeLine(text, "SNMP > SNMPv3 users", "/en/net_snmpusm.asp"));
      });
      Array.prototype.forEach.call(snmp.querySelectorAll("snmp-community"), function (c) {
        var source = c.getAttribute("source");
        var from = source === "0.0.0.0" ? "any IPv4 address" : source === "::" ? "any IPv6 address" : source;
        lines.push(noticeLine("The SNMPv1 community " + c.getAttribute("name") + " (" +
          ACCESS[c.getAttribute("permission")] + ", from " + from +
          ") is the factory one, published with the daemon: change it", "SNMP > Agent and access",
          "/en/net_snmpaccess.asp"));
      });
    }
    if (!lines.length) return;
    lines.forEach(function (line) { notice.appendChild(line); });
    var hide = el("button", "Hide for this session", "link notice-hide");
    hide.type = "button";
    hide.id = "default-passwords-hide";
    hide.addEventListener("click", function () {
      store.set(NOTICE_HIDDEN, "1");
      notice.hidden = true;
      hide.hidden = true;
    });
    notice.parentNode.insertBefore(hide, notice.nextSibling);
    notice.hidden = false;
  }

  // The countdown as the banner has it: remaining seconds, cancelled, reason;
  // null without one.
  function countdown() {
    var banner = document.getElementById("countdown-banner");
    if (!banner) return null;
    var left = Number(banner.getAttribute("data-remaining"));
    if (!(left >= 0)) return null;
    return { left: left, cancelled: banner.getAttribute("data-cancelled") === "1",
             reason: banner.getAttribute("data-reason") || "shutdown condition" };
  }

  // The planned shutdown of the schedules, and before it a countdown that runs.
  function nextShutdown() {
    var c = countdown();
    document.querySelectorAll("[data-next-shutdown]").forEach(function (e) {
      if (!c) return;
      var planned = e.textContent.trim();
      var text = c.cancelled ? "Countdown cancelled at " + mmss(c.left) + " (" + c.reason + ")"
                             : "In " + mmss(c.left) + " (" + c.reason + " countdown)";
      e.textContent = text + (planned && planned !== "None" ? "; scheduled: " + planned : "");
    });
  }

  // The control page: the countdown's state and the one action that applies
  // to it (the buttons name it in data-when: running or cancelled).
  function countdownControl() {
    var state = document.getElementById("countdown-state");
    if (!state) return;
    var c = countdown();
    var now = !c ? "none" : c.cancelled ? "cancelled" : "running";
    state.textContent = now === "none" ? "No countdown is running." :
      now === "running" ? "Running: " + mmss(c.left) + " left (" + c.reason + ")" :
      "Cancelled at " + mmss(c.left) + " (" + c.reason + ")";
    document.querySelectorAll("[data-when]").forEach(function (b) {
      var applies = b.getAttribute("data-when") === now;
      b.hidden = !applies;
      b.disabled = !applies;
    });
  }

  // <span class="secs">271</span> shows 04:31; -1 is no countdown.
  function seconds() {
    document.querySelectorAll(".secs").forEach(function (e) {
      var v = Number(e.textContent.trim());
      e.textContent = v >= 0 ? mmss(v) : "none";
    });
  }

  function unavailable(e) {
    e.textContent = "n/a";
    e.classList.add("na");
  }

  // A reading of -1 is one the UPS does not report, and so is an empty text
  // that the UPS gives (data-na-empty: the model while the link is lost) or
  // an empty run time.
  function markUnreported() {
    document.querySelectorAll(".v").forEach(function (e) {
      if (e.textContent.trim() === "-1") unavailable(e);
    });
    document.querySelectorAll("[data-na-empty], .hm").forEach(function (e) {
      if (e.textContent.trim() === "") unavailable(e);
    });
  }

  // A cell says n/a once, however many of its values are not reported (a
  // charge and its charging state while the link is lost).
  function naOnce() {
    document.querySelectorAll("td").forEach(function (td) {
      Array.prototype.slice.call(td.querySelectorAll(".na"), 1).forEach(function (e) { e.hidden = true; });
    });
  }

  // A value shown as its meaning: data-map="0:Normal|1:Lost". A code the
  // map does not name shows as "other (code)", -1 as not reported.
  function mapValues() {
    document.querySelectorAll("[data-map]").forEach(function (e) {
      var key = e.textContent.trim(), found = false;
      e.getAttribute("data-map").split("|").forEach(function (pair) {
        var at = pair.indexOf(":");
        if (at > 0 && pair.slice(0, at) === key) {
          e.textContent = pair.slice(at + 1);
          found = true;
        }
      });
      if (found || key === "") return;
      if (key === "-1") unavailable(e);
      else e.textContent = "other (" + key + ")";
    });
  }

  // A serial port choice as its device: choice from (2 for the UPS port,
  // 1 for the SMS modem's) is /dev/ttyS0, and so on.
  function serialDevice(choice, from) { return "/dev/ttyS" + (choice - from); }

  // <select data-serial-from="2"> offers /dev/ttyS0 to /dev/ttyS15 after its
  // own options, and the stored choice (data-value) when it is further on.
  function serialPorts() {
    document.querySelectorAll("select[data-serial-from]").forEach(function (s) {
      var from = Number(s.getAttribute("data-serial-from")), stored = Number(s.getAttribute("data-value"));
      var last = Math.max(from + 15, stored >= from && stored <= 255 ? stored : 0);
      for (var v = from; v <= last; v++) {
        if (v > from + 15 && v !== stored) continue;
        s.appendChild(el("option", serialDevice(v, from))).value = String(v);
      }
    });
  }

  // The port as the device it uses: data-port is the port choice, the
  // text the device path that replaces the serial port's own name.
  function portNames() {
    document.querySelectorAll("[data-port]").forEach(function (e) {
      var choice = Number(e.getAttribute("data-port")), path = e.textContent.trim();
      if (choice === 0) e.textContent = "Automatic search (USB and serial ports" +
        (path ? "; the device path " + path + " needs a serial port choice)" : ")");
      else if (choice === 1) e.textContent = "USB";
      else if (choice >= 2) e.textContent = path || serialDevice(choice, 2);
    });
  }

  // Outlet states "101": outlet 1 on, 2 off, 3 on.
  function outletStates() {
    document.querySelectorAll("[data-outlet-states]").forEach(function (e) {
      var states = e.textContent.trim();
      if (!/^[01]+$/.test(states)) {
        e.textContent = "none reported";
        e.classList.add("na");
        return;
      }
      e.textContent = states.split("").map(function (c, i) {
        return (i + 1) + ": " + (c === "1" ? "on" : "off");
      }).join(", ");
    });
  }

  // Alarms: the active ones first, most severe first, each with its level
  // in words; the others folded away below them.
  function alarms() {
    var box = document.getElementById("alarms");
    if (!box) return;
    var all = Array.prototype.slice.call(box.querySelectorAll(".alarm"));
    var level = function (a) { var m = /(?:^| )lvl(\d+)/.exec(a.className); return m ? Number(m[1]) : 0; };
    var active = all.filter(function (a) { return level(a) > 0; });
    active.sort(function (a, b) { return level(b) - level(a) || all.indexOf(a) - all.indexOf(b); });
    var rest = all.filter(function (a) { return level(a) === 0; });
    box.textContent = "";
    if (!active.length) box.appendChild(el("p", "No alarm is active.", "empty"));
    active.forEach(function (a) {
      a.classList.add("active");
      a.appendChild(el("span", LEVELS[Math.min(level(a), 3)], "level"));
      box.appendChild(a);
    });
    var folded = el("details", null, "inactive");
    folded.appendChild(el("summary", "Not active (" + rest.length + ")"));
    var list = el("div", null, "alarm-list");
    rest.forEach(function (a) { list.appendChild(a); });
    folded.appendChild(list);
    box.appendChild(folded);
  }

  // Remaining run time: minutes, or hours and minutes written "h:m".
  function runTimes() {
    document.querySelectorAll(".hm").forEach(function (e) {
      var t = e.textContent.trim(), m = /^(\d+):(\d+)$/.exec(t);
      if (m) e.textContent = m[1] + " h " + m[2] + " min";
      else if (/^\d+$/.test(t)) e.textContent = t + " min";
    });
  }

  // Status pages reload themselves every data-refresh seconds (when set);
  // an open menu and unfolded lists stay open across the reload.
  var RELOAD = "reload-state";
  function scheduleRefresh() {
    var seconds = Number(document.body.getAttribute("data-refresh"));
    if (!(seconds > 0)) return;
    setTimeout(function () {
      var menu = document.getElementById("menu");
      var open = [];
      document.querySelectorAll("details").forEach(function (d, i) { if (d.open) open.push(i); });
      store.set(RELOAD, JSON.stringify({ page: location.pathname + location.search,
        menu: !!(menu && menu.classList.contains("open")), details: open }));
      location.reload();
    }, seconds * 1000);
  }

  function restoreAfterReload() {
    var saved = null;
    try { saved = JSON.parse(store.get(RELOAD) || "null"); } catch (e) { saved = null; }
    store.remove(RELOAD);
    if (!saved || saved.page !== location.pathname + location.search) return;
    var menu = document.getElementById("menu");
    var toggle = menu ? menu.querySelector(".menu-toggle") : null;
    if (saved.menu && toggle && !menu.classList.contains("open")) toggle.click();
    var all = document.querySelectorAll("details");
    (saved.details || []).forEach(function (i) { if (all[i]) all[i].open = true; });
  }

  // <input type=checkbox data-checked="1"> (or "Checked") is ticked.
  function setChecks() {
    document.querySelectorAll("input[data-checked]").forEach(function (e) {
      var v = e.getAttribute("data-checked");
      e.checked = v === "1" || v === "Checked";
    });
  }

  // A page with a list starts with its first row selected.
  function selectFirstRow() {
    var link = document.querySelector("table.list a[onclick]");
    if (link && typeof link.onclick === "function") link.onclick();
  }

  // The user command file, the export directory and the UPS device path
  // are the administrator's: shown, not edited, by the device account.
  function protectAdminFields() {
    if (level() === 0) return;
    document.querySelectorAll("input[name=ACT_CMD_FILE], input[name=HCG_AE_PATH], input[name=ACT_COM_PATH]").forEach(function (e) { e.readOnly = true; });
  }

  // <select data-value="2"> shows that option; a value it does not list
  // is added as an option of its own, so a post sends it back unchanged.
  function setSelects() {
    document.querySelectorAll("select[data-value]").forEach(function (e) {
      var v = e.getAttribute("data-value");
      var found = Array.prototype.some.call(e.options, function (o) { return o.value === v; });
      if (!found && v !== "") e.appendChild(el("option", v)).value = v;
      e.value = v;
    });
  }

  // A row with data-days="0100010" (Sunday first) ticks its
  // <input data-day="k"> boxes from character k.
  function setDays() {
    document.querySelectorAll("[data-days]").forEach(function (row) {
      var days = row.getAttribute("data-days") || "";
      row.querySelectorAll("input[data-day]").forEach(function (box) {
        box.checked = days.charAt(Number(box.getAttribute("data-day"))) === "1";
      });
    });
  }

  // Settings the UPS does not offer (data-offer="-1", data-cap="0") are
  // hidden and their controls left out of every post, as is a control whose
  // value the UPS does not report (-1); so nothing the UPS lacks can block
  // the browser's own checks of a form.
  function unoffered() {
    // Outlets beyond the count the UPS reports do not exist (a count of -1:
    // not known now, every outlet shows).
    document.querySelectorAll("[data-outlets]").forEach(function (part) {
      var count = Number(part.getAttribute("data-outlets"));
      part.querySelectorAll("[data-outlet]").forEach(function (row) {
        row.setAttribute("data-offer", count >= 0 && Number(row.getAttribute("data-outlet")) > count ? "-1" : "1");
      });
    });
    // Limits the UPS does not report limit nothing.
    document.querySelectorAll('input[min="-1"], input[max="-1"]').forEach(function (c) {
      c.removeAttribute("min");
      c.removeAttribute("max");
    });
    document.querySelectorAll('[data-offer="-1"], [data-cap="0"], [data-offer=""]').forEach(function (e) {
      e.hidden = true;
      e.setAttribute("data-off", "");
      e.querySelectorAll("input, select, textarea, button").forEach(function (c) { c.disabled = true; });
    });
    document.querySelectorAll('form.settings input[value="-1"]:not([type=hidden])').forEach(function (c) {
      c.value = "";
      c.placeholder = "not reported";
      c.disabled = true;
    });
    // A part whose every setting is left out is left out whole.
    document.querySelectorAll("form").forEach(function (form) {
      pageParts(form).forEach(function (p) {
        if (!p.box) return;
        var rows = p.box.querySelectorAll("[data-offer], [data-cap]");
        var off = p.box.querySelectorAll("[data-off]");
        if (rows.length && rows.length === off.length) {
          p.box.hidden = true;
          p.box.disabled = true;
        }
      });
    });
  }

  // Wide tables scroll inside their own box, never the page.
  function scrollingTables() {
    document.querySelectorAll("main table").forEach(function (t) {
      if (t.parentElement.classList.contains("table-box")) return;
      var box = el("div", null, "table-box");
      t.parentElement.insertBefore(box, t);
      box.appendChild(t);
    });
  }

  // A list the server writes with one made-up row when it is empty (its
  // row call passes 0 at the argument data-flag names) says it is empty.
  function emptyLists() {
    document.querySelectorAll("[data-list][data-flag]").forEach(function (list) {
      var body = list.querySelector("table.list tbody");
      var rows = body ? body.querySelectorAll("tr") : [];
      if (rows.length !== 1) return;
      var link = rows[0].querySelector("a[onclick]");
      var args = link ? (link.getAttribute("onclick").match(/'(?:[^'\\]|\\.)*'|-?\d+/g) || []) : [];
      if (args[Number(list.getAttribute("data-flag"))] !== "0") return;
      var td = el("td", list.getAttribute("data-empty") || "The list is empty.", "empty");
      td.colSpan = rows[0].cells.length;
      var tr = el("tr", null, "placeholder");
      tr.appendChild(td);
      body.replaceChild(tr, rows[0]);
      // Headings over no rows only widen the table.
      var head = body.parentNode.tHead;
      if (head) head.hidden = true;
    });
  }

  // The event-level list: module alarms name their module "%s" in the
  // files; the editor moves next to the event chosen.
  function eventLevels() {
    var list = document.getElementById("events");
    var editor = document.getElementById("event-editor");
    if (!list || !editor) return;
    list.querySelectorAll("tbody a").forEach(function (a) {
      a.textContent = a.textContent.replace(/%s/g, "Power module");
    });
    var holder = el("tr", null, "editor-row");
    var cell = el("td");
    cell.colSpan = 4;
    holder.appendChild(cell);
    function place() {
      var row = list.querySelector("tbody tr.selected");
      if (!row) return;
      cell.appendChild(editor);
      row.parentNode.insertBefore(holder, row.nextSibling);
      var shown = document.getElementById("selected");
      if (shown) shown.textContent = shown.textContent.replace(/%s/g, "Power module");
    }
    list.addEventListener("click", function (e) {
      if (!e.target.closest || !e.target.closest("a[id]")) return;
      var said = document.getElementById("event-saved");
      if (said) said.remove();
      setTimeout(place, 0);
    });
    // Back from Apply ("#saved-" the event's number and level): that event
    // is chosen and shown, and said to be saved while its row has that level.
    var saved = /^#saved-(\d+)-(\d+)$/.exec(location.hash);
    if (saved) history.replaceState(null, "", location.pathname + location.search);
    window.addEventListener("load", function () {
      setTimeout(function () {
        var link = saved ? list.querySelector('tbody a[id="' + saved[1] + '"]') : null;
        var level = link ? /,(\d+)\);?$/.exec(link.getAttribute("onclick") || "") : null;
        if (!level || level[1] !== saved[2]) {
          place();
          return;
        }
        link.click();
        place();
        var shown = document.getElementById("selected");
        var said = el("p", "Saved: \u201c" + (shown ? shown.textContent : saved[1]) + "\u201d is now " +
          LEVELS[Number(saved[2])] + ".", "saved");
        said.id = "event-saved";
        said.setAttribute("role", "status");
        editor.insertBefore(said, editor.firstChild);
        link.closest("tr").scrollIntoView({ block: "center" });
      }, 0);
    });
  }

  // The elements of a list variable kept in a <template>: arrays of texts by tag.
  function listOf(id) {
    var t = document.getElementById(id);
    return t && t.content ? t.content : null;
  }
  function texts(root, tag) {
    return Array.prototype.map.call(root.querySelectorAll(tag), function (e) { return e.textContent; });
  }

  function table(headers, rows, cls) {
    var t = el("table", null, cls || "values grid");
    var head = el("thead");
    var tr = el("tr");
    headers.forEach(function (h) { tr.appendChild(el("th", h)); });
    head.appendChild(tr);
    t.appendChild(head);
    var body = el("tbody");
    rows.forEach(function (r) {
      var row = el("tr");
      r.forEach(function (c) {
        var td = el("td", c === "-1" ? "n/a" : c);
        if (c === "-1") td.className = "na";
        row.appendChild(td);
      });
      body.appendChild(row);
    });
    t.appendChild(body);
    return t;
  }

  function put(id, node) {
    var target = document.getElementById(id);
    if (!target) return;
    target.textContent = "";
    target.appendChild(node);
  }

  // The newest event-log records of the summary page.
  function buildEvents() {
    var list = listOf("recent-data");
    if (!list) return;
    var levels = texts(list, "sum_slog_level"), times = texts(list, "sum_slog_time"),
        events = texts(list, "sum_slog_event");
    if (!events.length) {
      put("recent", el("p", "The event log is empty.", "empty"));
      return;
    }
    var rows = events.map(function (text, i) {
      return [times[i] || "", LEVELS[Number(levels[i])] || levels[i], text];
    });
    var t = table(["Time", "Level", "Event"], rows, "values");
    t.querySelectorAll("tbody tr").forEach(function (tr, i) {
      tr.cells[1].className = "sev" + (Number(levels[i]) >= 2 ? levels[i] : "1");
    });
    put("recent", t);
  }

  // Power modules: presence, status and readings, one column per module.
  function buildModules() {
    var target = document.getElementById("modules");
    if (!target) return;
    var show = target.getAttribute("data-show") || "", status = target.getAttribute("data-status") || "";
    var readings = listOf("module-data");
    if (show.length !== 10 || !readings) {
      put("modules", el("p", "This UPS has no power modules.", "empty"));
      return;
    }
    var present = [];
    for (var m = 0; m < 10; m++) if (show[m] === "1") present.push(m);
    if (!present.length) {
      put("modules", el("p", "No power module is present.", "empty"));
      return;
    }
    var items = [
      ["ups_pm_temp_pfc", "PFC temperature (°C)"], ["ups_pm_temp_inverter", "Inverter temperature (°C)"],
      ["ups_pm_temp_invr", "Inverter R temperature (°C)"], ["ups_pm_temp_invs", "Inverter S temperature (°C)"],
      ["ups_pm_temp_invt", "Inverter T temperature (°C)"], ["ups_pm_volt_invr", "Inverter R voltage (V)"],
      ["ups_pm_volt_invs", "Inverter S voltage (V)"], ["ups_pm_volt_invt", "Inverter T voltage (V)"]
    ];
    var headers = ["Module"].concat(present.map(function (m) { return String(m + 1); }));
    var rows = [["Status"].concat(present.map(function (m) {
      var s = status[m];
      return s === "0" ? "fault" : s === "1" ? "normal" : "alarm level " + s;
    }))];
    items.forEach(function (item) {
      var v = texts(readings, item[0]);
      rows.push([item[1]].concat(present.map(function (m) { return v[m] !== undefined ? v[m] : ""; })));
    });
    var alarms = listOf("module-alarms");
    if (alarms) {
      // Ten status rows per module, "0" for an unused row.
      var names = [];
      for (var r = 1; r <= 10; r++) names = names.concat(texts(alarms, "ups_pm_sts" + r).map(function (t, i) {
        return { module: i, row: r, text: t };
      }));
      rows.push(["Alarms"].concat(present.map(function (m) {
        return names.filter(function (n) { return n.module === m && n.text !== "0"; })
                    .sort(function (a, b) { return a.row - b.row; })
                    .map(function (n) { return n.text; }).join("; ") || "none";
      })));
    }
    put("modules", table(headers, rows));
  }

  function buildBatteryModules() {
    var list = listOf("battery-data");
    var target = document.getElementById("battery-modules");
    if (!target || !list) return;
    var ids = texts(list, "ups_bmi_id");
    if (!ids.length) {
      put("battery-modules", el("p", "No battery module information.", "empty"));
      return;
    }
    var cols = ["ups_bmi_volt", "ups_bmi_current", "ups_bmi_temp", "ups_bmi_soh", "ups_bmi_soc"].map(function (t) {
      return texts(list, t);
    });
    put("battery-modules", table(["Module", "Voltage (V)", "Current (A)", "Temperature (°C)", "Health (%)", "Charge (%)"],
      ids.map(function (id, i) { return [id].concat(cols.map(function (c) { return (c[i] || "").trim(); })); })));
  }

  // Battery cabinets: presence flags and temperatures.
  function buildCabinets() {
    var target = document.getElementById("cabinets");
    var list = listOf("cabinet-data");
    if (!target || !list) return;
    var present = target.getAttribute("data-present") || "";
    var temps = texts(list, "ups_battcab_temp");
    if (present.length !== 4) {
      put("cabinets", el("p", "This UPS reports no battery cabinets.", "empty"));
      return;
    }
    put("cabinets", table(["Cabinet", "Present", "Temperature (°C)"], [0, 1, 2, 3].map(function (k) {
      return [String(k + 1), present[k] === "1" ? "yes" : "no", temps[k] || ""];
    })));
  }

  // The outlets of the control page: state, delay and the two buttons.
  function buildOutlets() {
    var target = document.getElementById("outlets");
    if (!target) return;
    var states = target.getAttribute("data-states") || "";
    if (!/^[01]*$/.test(states) || !states.length) {
      put("outlets", el("p", "This UPS reports no switchable outlets.", "empty"));
      return;
    }
    var t = table(["Outlet", "State", "Delay (s)", ""], []);
    var body = t.querySelector("tbody");
    for (var i = 0; i < states.length && i < 8; i++) {
      var n = String(i + 1);
      var tr = el("tr");
      tr.appendChild(el("td", n));
      tr.appendChild(el("td", states[i] === "1" ? "on" : "off", states[i] === "1" ? "" : "warning"));
      var delay = el("input");
      delay.type = "number";
      delay.min = "0";
      delay.max = "65535";
      delay.value = "1";
      delay.name = "CTL_LETDL" + n;
      delay.setAttribute("aria-label", "Delay for outlet " + n + " (s)");
      var td = el("td");
      td.appendChild(delay);
      tr.appendChild(td);
      var buttons = el("td");
      [["CTL_BLETON", "On"], ["CTL_BLETOFF", "Off"]].forEach(function (b) {
        var button = el("button", b[1]);
        button.type = "submit";
        button.name = b[0] + n;
        button.value = b[1];
        buttons.appendChild(button);
        buttons.appendChild(document.createTextNode(" "));
      });
      tr.appendChild(buttons);
      body.appendChild(tr);
    }
    put("outlets", t);
  }

  // Dry-contact words: event number (bits 0-6), enabled (bit 7), type (bit 15).
  function fillDryContacts() {
    document.querySelectorAll("tr[data-word]").forEach(function (tr) {
      var w = Number(tr.getAttribute("data-word"));
      var c = tr.getAttribute("data-contact");
      if (!(w >= 0)) return;
      var dry = tr.querySelector("[name=CFG_SDCDRY" + c + "]");
      var type = tr.querySelector("[name=CFG_SDCTYPE" + c + "]");
      var off = tr.querySelector("[name=CFG_SDCDISABLE" + c + "]");
      if (dry) dry.value = String(w & 0x7f);
      if (type) type.value = (w & 0x8000) ? "1" : "0";
      if (off) off.checked = (w & 0x80) === 0;
    });
  }

  // Measurement tables of phases (table.phases): a phase column with no
  // reading at all is one the UPS does not have and is left out, and so is
  // a row without a reading (the line voltages of a one-phase UPS), unless
  // the table has no reading at all (the link is lost).
  function phases() {
    document.querySelectorAll("table.phases").forEach(function (t) {
      var rows = Array.prototype.slice.call(t.tBodies[0] ? t.tBodies[0].rows : []);
      function reported(cell) { return cell && cell.textContent.trim() !== "" && !cell.classList.contains("na"); }
      var any = rows.some(function (r) { return Array.prototype.slice.call(r.cells, 1).some(reported); });
      if (!any) return;
      [2, 3].forEach(function (col) {
        if (rows.some(function (r) { return reported(r.cells[col]); })) return;
        Array.prototype.forEach.call(t.rows, function (r) { if (r.cells[col]) r.cells[col].hidden = true; });
      });
      rows.forEach(function (r) {
        if (!Array.prototype.slice.call(r.cells, 1).some(reported)) r.hidden = true;
      });
    });
  }

  // Each cell of a table with column heads knows its head (data-label), for
  // the layout of a table too wide for the screen.
  function labelCells() {
    document.querySelectorAll("main table").forEach(function (t) {
      if (!t.tHead || !t.tHead.rows.length) return;
      var heads = [];
      Array.prototype.forEach.call(t.tHead.rows[t.tHead.rows.length - 1].cells, function (th) {
        for (var k = 0; k < th.colSpan; k++) heads.push(th.textContent.trim());
      });
      Array.prototype.forEach.call(t.tBodies, function (body) {
        Array.prototype.forEach.call(body.rows, function (tr) {
          var col = 0;
          Array.prototype.forEach.call(tr.cells, function (td) {
            if (!td.hasAttribute("data-label")) td.setAttribute("data-label", heads[col] || "");
            col += td.colSpan;
          });
        });
      });
    });
  }

  // A table wider than its place shows each row as a block of labelled
  // cells (table.stacked), so no column starts off the screen; checked again
  // when the window changes its width.
  function fitTables() {
    document.querySelectorAll("main table").forEach(function (t) {
      t.classList.remove("stacked");
      var box = t.parentElement;
      if (!t.offsetWidth || !box) return;
      if (t.offsetWidth > box.clientWidth + 1) t.classList.add("stacked");
    });
  }

  // ---- page parts ------------------------------------------------------------------

  // A part of a form is a fieldset with a submit button of its own (not
  // inside another such fieldset); the named controls outside every such
  // fieldset are one more part, which the form's other buttons post. A list
  // part (data-list) fills its fields from the entry chosen in its table.
  // Every rule about parts goes through this one list: a button posts its
  // own part only, a part whose every setting the UPS lacks is left out, an
  // edit marks its part as not saved, and the edits of the parts a button
  // did not post are kept for the page's next load, still not saved.
  function controlsOf(form) {
    return Array.prototype.filter.call(form.elements, function (c) {
      return c.name && c.tagName !== "BUTTON" && c.tagName !== "FIELDSET" &&
        !/^(hidden|submit|button|reset|file)$/.test(c.type);
    });
  }
  function valueOf(c) { return c.type === "checkbox" || c.type === "radio" ? c.checked : c.value; }
  function setValue(c, v) { if (c.type === "checkbox" || c.type === "radio") c.checked = v; else c.value = v; }

  function pageParts(form) {
    if (form.pageParts) return form.pageParts;
    var boxes = Array.prototype.filter.call(form.querySelectorAll("fieldset"), function (f) {
      return f.querySelector("button[type=submit], input[type=submit]") && !f.parentElement.closest("fieldset");
    });
    var parts = boxes.map(function (f, at) {
      var legend = f.querySelector("legend");
      return { at: at, box: f, title: legend ? legend.textContent.trim() : "", controls: [],
               list: f.hasAttribute("data-list") };
    });
    var rest = { at: parts.length, box: null, title: "", controls: [], list: false };
    controlsOf(form).forEach(function (c) {
      var part = parts.filter(function (p) { return p.box.contains(c); })[0] || rest;
      part.controls.push(c);
    });
    if (rest.controls.length || !parts.length) parts.push(rest);
    form.pageParts = parts;
    return parts;
  }
  function partOf(form, node) {
    var parts = pageParts(form);
    return (node && parts.filter(function (p) { return p.box && p.box.contains(node); })[0]) ||
      parts.filter(function (p) { return !p.box; })[0] || null;
  }
  function partOff(p) { return !!p.box && (p.box.disabled || p.box.hidden); }
  function snapshot(part) { part.saved = part.controls.map(valueOf); }
  function edited(part) { return part.controls.some(function (c, i) { return valueOf(c) !== part.saved[i]; }); }
  function changed(part) { return !partOff(part) && edited(part); }
  function restore(part) { part.controls.forEach(function (c, i) { setValue(c, part.saved[i]); }); }
  function names(parts) {
    return parts.map(function (p) { return p.title ? "\u201c" + p.title + "\u201d" : "the other fields"; }).join(", ");
  }
  function submitButton(event) {
    var t = event.target && event.target.closest ? event.target : null;
    return t ? t.closest("button[type=submit], input[type=submit]") : null;
  }

  // A button posts its own part only: the other parts are disabled while
  // the browser builds the post, so it checks and sends the fields of that
  // part (and the form's token), not those of the others.
  function postOwnPart(form) {
    var parts = pageParts(form);
    if (parts.length < 2) return;
    // Enter in a field would press the form's first button, another part's
    // perhaps, and post that part with its kept edits: it posts nothing.
    form.addEventListener("keydown", function (event) {
      var t = event.target;
      if (event.key === "Enter" && t.tagName === "INPUT" && !/^(submit|button|reset|image)$/.test(t.type))
        event.preventDefault();
    });
    form.addEventListener("click", function (event) {
      var button = submitButton(event);
      if (!button) return;
      var mine = partOf(form, button), off = [];
      parts.forEach(function (p) {
        if (p === mine) return;
        (p.box ? [p.box] : p.controls).forEach(function (c) {
          if (!c.disabled) {
            c.disabled = true;
            off.push(c);
          }
        });
      });
      var again = function () {
        off.forEach(function (c) { c.disabled = false; });
        off = [];
      };
      setTimeout(again, 0);
      window.addEventListener("pageshow", again, { once: true });
    }, true);
  }

  // The entry chosen in a list part: its link's id and call, which name
  // the same entry on the next load only while it is unchanged.
  function chosenEntry(p) {
    var link = p.list ? p.box.querySelector("tbody tr.selected a[id]") : null;
    return link ? { id: link.id, call: link.getAttribute("onclick") } : null;
  }
  function entryLink(p, entry) {
    return Array.prototype.filter.call(p.box.querySelectorAll("tbody a[id]"), function (a) {
      return a.id === entry.id && a.getAttribute("onclick") === entry.call;
    })[0] || null;
  }

  // Edits kept across a post of another part: for this tab, for the next
  // load of a page only (passing through the answer, which runs no script),
  // and only for the page they were made on.
  var KEPT = "kept-edits";
  function keepEdits(form, index, posted) {
    // The others are disabled for the post now; a part left out is hidden.
    var parts = pageParts(form).filter(function (p) {
      return p !== posted && !(p.box && p.box.hidden) && edited(p);
    });
    if (!parts.length) {
      store.remove(KEPT);
      return;
    }
    store.set(KEPT, JSON.stringify({ page: location.pathname, form: index, parts: parts.map(function (p) {
      var values = [];
      p.controls.forEach(function (c, i) {
        if (valueOf(c) !== p.saved[i]) values.push({ at: i, name: c.name, value: valueOf(c) });
      });
      return { at: p.at, title: p.title, entry: chosenEntry(p), values: values };
    }) }));
  }
  function takeKept() {
    var kept = null;
    try { kept = JSON.parse(store.get(KEPT) || "null"); } catch (e) { kept = null; }
    store.remove(KEPT);
    return kept && kept.page === location.pathname && Array.isArray(kept.parts) ? kept : null;
  }
  // The kept edits back in their parts; a list part's only when the entry
  // they were made on is still there as it was. What was kept, and what
  // could not be, is said at the top of the form.
  function restoreKept(form, kept) {
    var parts = pageParts(form);
    form.keptParts = [];
    form.droppedParts = [];
    kept.parts.forEach(function (k) {
      var p = parts[k.at];
      if (!p || p.title !== k.title || partOff(p)) return;
      if (k.entry) {
        var link = p.box ? entryLink(p, k.entry) : null;
        if (!link) {
          form.droppedParts.push(p);
          return;
        }
        if (typeof link.onclick === "function") link.onclick();
        snapshot(p);
      }
      (k.values || []).forEach(function (v) {
        var c = p.controls[v.at];
        if (c && c.name === v.name && !c.disabled) setValue(c, v.value);
      });
      if (changed(p)) form.keptParts.push(p);
    });
  }
  function keptNote(form) {
    var kept = (form.keptParts || []).filter(changed), dropped = form.droppedParts || [];
    var note = form.querySelector(".kept-note");
    if (!kept.length && !dropped.length) {
      if (note) note.remove();
      return;
    }
    if (!note) {
      note = el("p", null, "kept-note");
      note.setAttribute("role", "status");
      form.insertBefore(note, form.firstChild);
    }
    var text = [];
    if (kept.length) text.push("Kept from before your last Apply, not applied yet: " + names(kept) +
      ". Apply " + (kept.length > 1 ? "each with its" : "it with its") + " own button.");
    if (dropped.length) text.push("Not kept: the edits of " + names(dropped) +
      ", whose entry has changed meanwhile.");
    note.textContent = text.join(" ");
  }

  function markParts(form) {
    pageParts(form).forEach(function (p) {
      if (!p.box) return;
      var on = changed(p);
      p.box.classList.toggle("unsaved", on);
      var legend = p.box.querySelector("legend"), mark = legend ? legend.querySelector(".unsaved-mark") : null;
      if (on && legend && !mark) legend.appendChild(el("span", "not saved", "unsaved-mark"));
      if (!on && mark) mark.remove();
    });
    keptNote(form);
  }

  // The question before choosing another entry of a list whose fields
  // hold edits: what would be lost and the two ways on.
  function ask(lead, lost, onward, goOn) {
    var dialog = document.getElementById("unsaved-dialog");
    if (!dialog) {
      dialog = el("dialog", null, "unsaved-dialog");
      dialog.id = "unsaved-dialog";
      dialog.setAttribute("aria-labelledby", "unsaved-title");
      document.body.appendChild(dialog);
    }
    dialog.textContent = "";
    var title = dialog.appendChild(el("h2", "Changes not saved yet"));
    title.id = "unsaved-title";
    dialog.appendChild(el("p", lead + " These changes would be lost: " + names(lost) + "."));
    dialog.appendChild(el("p", "Go back to apply them with their own button first, or discard them."));
    var buttons = dialog.appendChild(el("div", null, "buttons"));
    var back = buttons.appendChild(el("button", "Go back", ""));
    back.type = "button";
    back.setAttribute("data-answer", "back");
    var discard = buttons.appendChild(el("button", "Discard them and " + onward, "secondary"));
    discard.type = "button";
    discard.setAttribute("data-answer", "discard");
    back.addEventListener("click", function () { dialog.close(); });
    discard.addEventListener("click", function () {
      dialog.close();
      lost.forEach(restore);
      goOn();
    });
    if (dialog.showModal) dialog.showModal(); else dialog.setAttribute("open", "");
    back.focus();
  }

  // The settings forms (a form with a form token, unless it only selects
  // what is shown or sends commands: data-keeps-nothing) watch their edits.
  var guarded = [];
  var posting = 0;  // when a post of this page began (its navigation asks nothing)
  function guardEdits() {
    var kept = takeKept();
    document.querySelectorAll("form").forEach(function (form, index) {
      postOwnPart(form);
      if (!form.querySelector("input[name=SYS_UCTOKEN]") || form.hasAttribute("data-keeps-nothing")) return;
      guarded.push(form);
      pageParts(form).forEach(snapshot);
      if (kept && kept.form === index) restoreKept(form, kept);
      markParts(form);
      var passing = false;
      form.addEventListener("input", function () { markParts(form); });
      form.addEventListener("change", function () { markParts(form); });
      form.addEventListener("click", function (event) {
        var row = event.target.closest ? event.target.closest("table.list a[onclick]") : null;
        if (!row) return;
        var mine = partOf(form, row);
        if (passing || !mine || !changed(mine)) {
          // The entry chosen fills the list's fields: they hold no edit then.
          if (mine) setTimeout(function () { snapshot(mine); markParts(form); }, 0);
          return;
        }
        event.preventDefault();
        event.stopImmediatePropagation();
        ask("Choosing another entry fills the fields of " + names([mine]) + " with it.", [mine], "choose the entry",
          function () {
            passing = true;
            try { row.click(); } finally { passing = false; }
          });
      }, true);
      // The post sends the part pressed; the edits of the others are kept.
      form.addEventListener("submit", function (event) {
        keepEdits(form, index, partOf(form, event.submitter));
        posting = Date.now();
      });
    });
    window.addEventListener("beforeunload", function (event) {
      if (Date.now() - posting < 5000) return;
      var edits = guarded.some(function (form) { return pageParts(form).some(changed); });
      if (!edits) return;
      event.preventDefault();
      event.returnValue = "";
    });
    // Back from the answer as it was left: the page holds every edit itself.
    window.addEventListener("pageshow", function (event) {
      if (!event.persisted) return;
      posting = 0;
      store.remove(KEPT);
      guarded.forEach(markParts);
    });
  }

  function start() {
    buildMenu();
    collapsibleMenu();
    countdownBanner();
    nextShutdown();
    countdownControl();
    factorySecrets();
    setChecks();
    protectAdminFields();
    serialPorts();
    setSelects();
    setDays();
    buildEvents();
    buildModules();
    buildBatteryModules();
    buildCabinets();
    buildOutlets();
    fillDryContacts();
    selectFirstRow();
    unoffered();
    guardEdits();
    mapValues();
    portNames();
    outletStates();
    seconds();
    alarms();
    runTimes();
    markUnreported();
    naOnce();
    phases();
    emptyLists();
    eventLevels();
    labelCells();
    scrollingTables();
    fitTables();
    var resized = null;
    window.addEventListener("resize", function () {
      clearTimeout(resized);
      resized = setTimeout(fitTables, 100);
    });
    restoreAfterReload();
    scheduleRefresh();
    // Tables that the pages' own scripts fill later (the network shutdown
    // clients) are labelled and fitted once the page has loaded.
    window.addEventListener("load", function () {
      labelCells();
      fitTables();
    });
  }

  if (document.readyState === "loading") document.addEventListener("DOMContentLoaded", start);
  else start();
})();
