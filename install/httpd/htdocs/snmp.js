// SNMP pages (agent and access list, SNMPv3 users, trap receivers), loaded
// after /sys.js: a click on a list row calls Func_Select with the row's
// values, which fill the fields of the page's list and give its Edit and
// Delete buttons the row's number; the page's load calls it for the first
// row. The fieldset [data-list] names with data-flag the argument that is 0
// for the placeholder row of an empty list; each field names with data-arg
// the argument it takes. Also the table of the network shutdown clients.
(function () {
  "use strict";

  // The row choice (Edit and Delete buttons named for the row, the row
  // marked) is the system pages' Func_Select: it is called with the row and
  // the count, and finds no fields of its own on these pages.
  var selectRow = window.Func_Select;

  // A select shows a value it does not list as an option of its own, so a
  // post sends the stored value back unchanged.
  function setValue(field, value) {
    var text = String(value);
    if (field.tagName === "SELECT") {
      var found = Array.prototype.some.call(field.options, function (o) { return o.value === text; });
      if (!found) {
        var option = document.createElement("option");
        option.value = text;
        option.textContent = text;
        field.appendChild(option);
      }
    }
    field.value = text;
  }

  window.Func_Select = function () {
    var args = arguments;
    var list = document.querySelector("[data-list]");
    if (!list) return;
    list.querySelectorAll("[data-arg]").forEach(function (field) {
      var value = args[Number(field.getAttribute("data-arg"))];
      if (value !== undefined) setValue(field, value);
    });
    // Passwords are never shown: an empty field keeps the stored one.
    list.querySelectorAll("input[type=password]").forEach(function (field) { field.value = ""; });
    if (selectRow) selectRow(args[0], "", 0, Number(args[Number(list.getAttribute("data-flag"))]));
  };

  // The reason a client counts down, coded as the agent's own countdown
  // reason object: 1 none, then the shutdown conditions.
  var REASONS = ["", "none", "power failure", "battery low", "overload", "bypass", "scheduled shutdown"];
  function reason(code) {
    var n = Number(code);
    return n >= 1 && n < REASONS.length ? REASONS[n] : "other (" + code + ")";
  }

  function cell(tr, text, cls) {
    var td = document.createElement("td");
    td.textContent = text;
    if (cls) td.className = cls;
    tr.appendChild(td);
  }

  // The network shutdown clients: one block of elements per client.
  function buildClients() {
    var data = document.getElementById("clients-data");
    var body = document.querySelector("#clients tbody");
    if (!data || !data.content || !body) return;
    function texts(tag) {
      return Array.prototype.map.call(data.content.querySelectorAll(tag), function (e) { return e.textContent; });
    }
    var ips = texts("ncs_nc_ip"), hosts = texts("ncs_nc_host"), systems = texts("ncs_nc_os"),
        countdowns = texts("ncs_nc_countdown"), reasons = texts("ncs_nc_reason"), touches = texts("ncs_nc_touch");
    if (!ips.length) {
      var tr = document.createElement("tr");
      cell(tr, "No trap receiver is a network shutdown client.", "empty");
      tr.firstChild.colSpan = 6;
      body.appendChild(tr);
      var head = body.parentNode.tHead;
      if (head) head.hidden = true;
      return;
    }
    ips.forEach(function (ip, i) {
      var tr = document.createElement("tr");
      var answered = hosts[i] !== "Invalid" || systems[i] !== "Invalid";
      cell(tr, ip);
      cell(tr, answered ? hosts[i] : "no answer yet", answered ? "" : "empty");
      cell(tr, answered ? systems[i] : "");
      cell(tr, countdowns[i] === "-1" ? "none" : countdowns[i] + " s", countdowns[i] === "-1" ? "" : "warning");
      cell(tr, answered ? reason(reasons[i]) : "");
      cell(tr, touches[i] === "65535" ? "over 18 hours" : touches[i] + " s");
      body.appendChild(tr);
    });
  }

  if (document.readyState === "loading") document.addEventListener("DOMContentLoaded", buildClients);
  else buildClients();
})();
