"""The history pages of the installed daemon while it polls the UPS
simulator: a power failure and its return caused through the simulator
appear in the event-log viewer's table file, page buttons move through a
log of seeded older records, a date range selects the records of its days,
the CSV download holds every record; the data-log viewer shows the minute
records of the simulated readings for a range given in the page's query
and downloads them as CSV; clearing the log empties the viewer; the
retention and the periodic export's interval and directory reach
config.ini (and the export writes into the new directory); headless
Chromium renders the three pages without script errors. Logged in with
curl as the device-page tests do."""
import datetime
import os
import re
import sys
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
import harness  # noqa: E402
import test_webpages1  # noqa: E402
import upssim  # noqa: E402
from test_webdev import BASE, HTTP, cell, wait_listening  # noqa: E402

EVENT_LOG = harness.INSTALL + "/_FILE_LOG.TXT"
PAGES = ["/en/hist_log.asp", "/en/hist_data.asp", "/en/hist_config.asp"]
SEEDED = 70  # older records, one a day from 1 January 2025


def seeded_date(k):
    """The date of seeded record k (1 = oldest)."""
    return datetime.date(2025, 1, 1) + datetime.timedelta(days=k - 1)


def seed_log():
    lines = []
    for k in range(1, SEEDED + 1):
        lines.append("101 1 %s 10:00:00 seeded record %d\n" % (seeded_date(k).strftime("%m/%d/%Y"), k))
    harness.write(EVENT_LOG, "".join(lines))


def log_lines():
    return (harness.read(EVENT_LOG) or "").splitlines()


def codes():
    return [int(line.split(" ", 1)[0]) for line in log_lines() if line]


def frame_texts(table):
    """The event texts of the rows of the event-log table, in their order."""
    return re.findall(r"<td nowrap class=\w+>([^<]*)</td></tr>", table)


class HistoryPages(harness.DaemonTest):
    def setUp(self):
        super().setUp()
        self.sim = upssim.UpsSim(checksum=True, log_path="/tmp/upssim.log").start()
        self.addCleanup(self.sim.stop)
        harness.ensure_config()
        harness.config_set({"COM": {"COM Port=": 2, "COM Path=": self.sim.slave_path},
                            "Shutdown": {"Power Fail Enable=": "No", "Battery Low Enable=": "No"},
                            "Data Log": {"Maximum Storage=": 12, "Export Period=": 0, "Export Path=": "/tmp/"},
                            "Web": {"HTTP Port=": HTTP, "Force HTTPS=": "No", "Password Encrypt=": "No",
                                    "Password0=": "admin-pass", "Enable Login Lock=": "Disable"}})
        seed_log()
        self.daemon = self.start_daemon()
        wait_listening(HTTP)
        self.cookie = self.login()
        harness.wait_for(lambda: "SIM0012345" in self.get("/en/device/ups_info.asp"), 40, 0.5,
                         what="the UPS identity on the identity page")

    # Login, requests and answers as the other device-page tests have them.
    login = test_webpages1.BatchAndReactionPages.login
    get = test_webpages1.BatchAndReactionPages.get
    post = test_webpages1.BatchAndReactionPages.post
    token = test_webpages1.BatchAndReactionPages.token
    location = test_webpages1.BatchAndReactionPages.location
    message = test_webpages1.BatchAndReactionPages.message

    def viewer(self):
        """The event-log viewer: (shown range, its table file as written for it)."""
        page = self.get("/en/hist_log.asp")
        return cell(page, "log-range"), self.get("/tempage/iframe_log.htm")

    # ---- event log ---------------------------------------------------------------

    def test_event_log_viewer(self):
        # A power failure and its return through the simulated UPS.
        self.sim.set_state("powerfail")
        harness.wait_for(lambda: 102 in codes(), 30, 0.5, what="the power failure event (%s)" % codes()[-5:])
        self.sim.set_state("online")
        harness.wait_for(lambda: 103 in codes(), 30, 0.5, what="the power return event")

        shown, table = self.viewer()
        self.assertEqual(shown, "Page1")
        texts = frame_texts(table)
        self.assertLessEqual(len(texts), 30)
        self.assertIn("Utility power failure", texts)
        self.assertIn("Utility power restored", texts)
        # Newest first.
        self.assertLess(texts.index("Utility power restored"), texts.index("Utility power failure"))
        self.assertIn("<td class=warning>Warning</td><td nowrap class=warning>Utility power failure</td>", table)

        # The page buttons: the third page holds the oldest seeded records.
        total = len(log_lines())
        pages = (total + 29) // 30
        self.assertGreaterEqual(pages, 3)
        page = self.get("/en/hist_log.asp")
        self.assertIn('<input type=submit value=" 3 " name=LOG_BUT3>', page)
        # The viewer's form takes no form token.
        self.assertEqual(self.location(self.post("/en/hist_log", {"LOG_BUT3": " 3 "})), BASE + "/en/hist_log.asp")
        shown, table = self.viewer()
        self.assertEqual(shown, "Page3")
        newest_on_page = total - 60  # records 61.. counted from the newest
        expected = ["seeded record %d" % k for k in range(min(newest_on_page, SEEDED), 0, -1)][:30]
        self.assertEqual(frame_texts(table)[-len(expected):], expected)
        self.post("/en/hist_log", {"LOG_BUTL": ">>"})
        self.assertEqual(self.viewer()[0], "Page%d" % pages)
        self.assertIn("seeded record 1<", self.viewer()[1])
        self.post("/en/hist_log", {"LOG_BUTF": "<<"})
        self.assertEqual(self.viewer()[0], "Page1")

        # A date range: the seeded records of its days, newest first.
        reply = self.post("/en/hist_log", {"LOG_FROM": "01/05/2025", "LOG_TO": "01/07/2025", "BUT_APPLY": "Show"})
        self.assertEqual(self.location(reply), BASE + "/en/hist_log.asp")
        shown, table = self.viewer()
        self.assertEqual(shown, "01/05/2025 ~ 01/07/2025")
        self.assertEqual(frame_texts(table), ["seeded record 7", "seeded record 6", "seeded record 5"])
        self.assertIn('name="LOG_FROM" value="01/05/2025"', self.get("/en/hist_log.asp"))
        self.assertEqual(self.message(self.post("/en/hist_log", {"LOG_FROM": "13/01/2025", "LOG_TO": "01/07/2025",
                                                                  "BUT_APPLY": "Show"})),
                         ("Incorrect Date Format", "The date format is not correct, please check it again."))
        self.assertEqual(self.viewer()[0], "01/05/2025 ~ 01/07/2025")

        # The CSV download holds every record, oldest first.
        self.assertEqual(self.location(self.post("/en/hist_log", {"DLLOG_BUT": "1"})), BASE + "/en/hist_log.asp")
        csv = self.get("/tempage/event_log.csv")
        lines = csv.splitlines()
        self.assertTrue(lines[0].startswith("\ufeffDownload Time: "), lines[0])
        self.assertEqual(lines[2], "Date,Time,Level,Event")
        rows = lines[3:]
        self.assertEqual(len(rows), len(log_lines()))
        self.assertEqual(rows[0], '01/01/2025,10:00:00,Information,"seeded record 1"')
        self.assertTrue(any(r.endswith(',Warning,"Utility power failure"') for r in rows))

        # Clearing the log (a token-tested form) empties the viewer.
        self.assertEqual(self.message(self.post("/en/hist_config", {"CLEAR_LOG": "1"}))[0], "Page Out of Date")
        self.assertTrue(os.path.exists(EVENT_LOG))
        reply = self.post("/en/hist_config", {"SYS_UCTOKEN": self.token("/en/hist_config.asp"), "CLEAR_LOG": "1"})
        self.assertEqual(self.message(reply), ("Information", "Updated successfully."))
        self.post("/en/hist_log", {"LOG_BUT1": " 1 "})
        shown, table = self.viewer()
        self.assertEqual(shown, "Page1")
        self.assertFalse([t for t in frame_texts(table) if "seeded" in t or "Utility" in t], frame_texts(table))
        self.assertNotIn("seeded record", harness.read(EVENT_LOG) or "")

    # ---- data log ----------------------------------------------------------------

    def test_data_log_viewer(self):
        today = datetime.date.today()

        def minute_rows():
            q = urllib.parse.urlencode({"DATA_SELBY": 0, "DATA_FROM": today.strftime("%m/%d/%Y"),
                                        "DATA_TO": today.strftime("%m/%d/%Y")})
            page = self.get("/en/hist_data.asp?" + q)
            table = self.get("/tempage/iframe_data.htm")
            rows = [r for r in table.split("<tr") if "<td>81.6V</td>" in r]
            return (page, table, rows) if rows else None
        page, table, rows = harness.wait_for(minute_rows, 150, 2, what="a minute record of the simulated UPS")
        self.assertEqual(cell(page, "data-range"), "%s ~ %s" % ((today.strftime("%m/%d/%Y"),) * 2))
        self.assertIn('data-value="0"', page)
        self.assertIn("<td colspan=2 class=title align=\"center\">Out Freq</td>", table)
        row = rows[0]
        self.assertRegex(row, r"^[^>]*><td>%s</td><td>\d\d:\d\d:\d\d</td>" % re.escape(today.strftime("%m/%d/%Y")))
        # Battery 81.6 V, 1.2 A, 100 %, 27 C; output frequency 50.0 Hz Lo and Hi; output voltage 230.0 V.
        self.assertIn("<td>81.6V</td><td>1.2A</td><td>100%</td><td>27C</td><td>80F</td><td>50.0Hz</td>"
                      "<td>50.0Hz</td><td>230.0V</td><td>230.0V</td>", row)

        # The range is kept in the session: the page without a query shows it again.
        page = self.get("/en/hist_data.asp")
        self.assertEqual(cell(page, "data-range"), "%s ~ %s" % ((today.strftime("%m/%d/%Y"),) * 2))
        # A range of days before the log began: no record rows.
        q = urllib.parse.urlencode({"DATA_SELBY": 0, "DATA_FROM": "01/01/2024", "DATA_TO": "01/31/2024"})
        self.assertEqual(cell(self.get("/en/hist_data.asp?" + q), "data-range"), "01/01/2024 ~ 01/31/2024")
        self.assertNotIn("<td>81.6V</td>", self.get("/tempage/iframe_data.htm"))
        # The ten-minute records of today, by the query's mode 3.
        q = urllib.parse.urlencode({"DATA_SELBY": 3, "DATA_FROM": today.strftime("%m/%d/%Y"),
                                    "DATA_TO": today.strftime("%m/%d/%Y")})
        self.assertIn('data-value="3"', self.get("/en/hist_data.asp?" + q))
        self.assertIn("<td>81.6V</td>", self.get("/tempage/iframe_data.htm"))

        # The CSV download of the posted range, newest first.
        reply = self.post("/en/hist_data", {"DATA_SELBY": 0, "DATA_FROM": today.strftime("%m/%d/%Y"),
                                            "DATA_TO": today.strftime("%m/%d/%Y"), "DATA_ITEM1": 5,
                                            "DATA_ITEM2": 9, "DATA_BUT": "1"})
        self.assertEqual(self.location(reply), BASE + "/en/hist_data.asp")
        csv = self.get("/tempage/hist_data.csv").splitlines()
        self.assertEqual(csv[0], "Model: SIMUPS 3000")
        self.assertTrue(csv[1].startswith("Download Time: "), csv[1])
        self.assertTrue(csv[3].startswith("Date (MM/DD/YYYY), Time(hh:mm:ss), Batt Volt, Batt Current, "), csv[3])
        data = [line for line in csv[4:] if line.startswith(today.strftime("%m/%d/%Y") + ", ")]
        self.assertTrue(data, csv[:6])
        self.assertIn(", 81.6V,1.2A,100%,27C,80F,50.0Hz,50.0Hz,230.0V,230.0V,", data[0])
        page = self.get("/en/hist_data.asp")
        self.assertIn('name="DATA_ITEM1" class="data-item" data-item-value="5"', page)
        # A date the form cannot read changes nothing.
        self.assertEqual(self.message(self.post("/en/hist_data", {"DATA_FROM": "2/2", "DATA_TO": "2/3/2026"})),
                         ("Incorrect Date Format", "The date format is not correct, please check it again."))
        self.assertEqual(cell(self.get("/en/hist_data.asp"), "data-range"),
                         "%s ~ %s" % ((today.strftime("%m/%d/%Y"),) * 2))

    # ---- settings -------------------------------------------------------------------

    def test_settings_reach_config_and_the_export(self):
        path = "/en/hist_config.asp"
        page = self.get(path)
        self.assertEqual(cell(page, "max-events"), "10000")
        self.assertIn('name="HCG_MAX_DATANUM" value="12"', page)

        os.makedirs("/tmp/exports", exist_ok=True)
        reply = self.post("/en/hist_config", {"SYS_UCTOKEN": self.token(path), "HCG_AE_INTERVAL": "1",
                                              "HCG_AE_PATH": "/tmp/exports", "HCG_AE_APPLY": "1"})
        self.assertEqual(self.message(reply), ("Information", "Updated successfully."))
        self.assertEqual(harness.config_get("Data Log", "Export Period="), "1")
        self.assertEqual(harness.config_get("Data Log", "Export Path="), "/tmp/exports/")
        page = self.get(path)
        self.assertIn('name="HCG_AE_PATH" value="/tmp/exports/"', page)
        self.assertIn('name="HCG_AE_INTERVAL" value="1"', page)

        # Markup in the path is refused; path and interval stay.
        reply = self.post("/en/hist_config", {"SYS_UCTOKEN": self.token(path), "HCG_AE_INTERVAL": "9",
                                              "HCG_AE_PATH": "/tmp/<b>", "HCG_AE_APPLY": "1"})
        self.assertEqual(self.message(reply), ("Error", "Incorrect input!"))
        self.assertEqual(harness.config_get("Data Log", "Export Period="), "1")
        self.assertEqual(harness.config_get("Data Log", "Export Path="), "/tmp/exports/")

        # The retention.
        reply = self.post("/en/hist_config", {"SYS_UCTOKEN": self.token(path), "HCG_MAX_DATANUM": "6",
                                              "HCG_APPLY": "1"})
        self.assertEqual(self.message(reply), ("Information", "Updated successfully."))
        self.assertEqual(harness.config_get("Data Log", "Maximum Storage="), "6")
        reply = self.post("/en/hist_config", {"SYS_UCTOKEN": self.token(path), "HCG_MAX_DATANUM": "70000",
                                              "HCG_APPLY": "1"})
        self.assertEqual(self.message(reply),
                         ("Incorrect Value", "Months kept: enter a number from 0 to 65535. Nothing was changed."))
        self.assertEqual(harness.config_get("Data Log", "Maximum Storage="), "6")

        # The periodic export now writes its lines into the new directory.
        harness.wait_for(lambda: len((harness.read("/tmp/exports/UPS.csv") or "").splitlines()) >= 3, 150, 1,
                         what="a periodic export line in /tmp/exports/UPS.csv")
        lines = harness.read("/tmp/exports/UPS.csv").splitlines()
        self.assertEqual(lines[0], "Model: SIMUPS 3000")
        self.assertIn(", 81.6,1.2,100,27,80,50.0,230.0,", lines[2])

    # ---- browser --------------------------------------------------------------------

    def test_browser_renders_the_pages_without_script_errors(self):
        from test_web_browser import walk_menu_pages
        b = walk_menu_pages(self, BASE, PAGES)

        # The event-log viewer: its frame holds the table, a page button moves on.
        frame_rows = ("new Promise(r => { const f = document.getElementById('log-table');"
                      " const n = () => f.contentDocument && f.contentDocument.querySelectorAll('tr').length;"
                      " const t = setInterval(() => { if (n() > 1) { clearInterval(t); r(n()); } }, 100); })")
        b.navigate(BASE + "/en/hist_log.asp")
        self.assertEqual(b.eval(frame_rows), 31)  # the title row and 30 records
        self.assertTrue(b.eval("document.getElementById('log-by-page').hidden === false"))
        b.submit_and_wait("document.querySelector('[name=LOG_BUT2]').click(); true")
        self.assertEqual(b.eval("document.getElementById('log-range').textContent"), "page 2")
        self.assertGreater(b.eval(frame_rows), 1)
        # A level box filters the frame's rows at once and is kept by the next post.
        rows = "Array.from(document.getElementById('log-table').contentDocument.querySelectorAll('tr'))"
        severe = b.eval(rows + ".filter(r => r.cells[2].textContent === 'Severity').length")
        self.assertEqual(b.eval("document.querySelector('[name=LOG_SELID3]').click();" + rows +
                                ".filter(r => !r.hidden).length"), severe + 1)  # and the title row
        b.submit_and_wait("document.querySelector('[name=LOG_BUT1]').click(); true")
        self.assertTrue(b.eval("document.querySelector('[name=LOG_SELID3]').checked"))
        self.assertEqual(b.eval("document.getElementById('log-levels').dataset.select.charAt(3)"), "1")
        # The download: the export is posted into the hidden frame, then the
        # download notice fetches the file after the event log's delay of 3 s.
        os.makedirs("/tmp/downloads", exist_ok=True)
        b.call("Browser.setDownloadBehavior", behavior="allow", downloadPath="/tmp/downloads")
        b.eval("document.querySelector('[name=DLLOG_BUT]').click(); true")
        harness.wait_for(lambda: os.path.exists("/tmp/downloads/event_log.csv"), 15, 0.2,
                         what="the event log CSV downloaded by the browser")
        self.assertIn("Date,Time,Level,Event", harness.read("/tmp/downloads/event_log.csv"))
        self.assertEqual(b.eval("location.pathname"), "/en/notice.asp")
        self.assertEqual(b.eval("document.getElementById('notice').dataset.delay"), "3")
        b.navigate(BASE + "/en/hist_log.asp")
        # The date view from the radio.
        self.assertTrue(b.eval("document.querySelector('[data-view=log-by-date]').click();"
                               "document.getElementById('log-by-date').hidden === false"))

        # The data-log viewer: the resolution choice reloads with its range.
        b.navigate(BASE + "/en/hist_data.asp")
        self.assertEqual(b.eval("document.querySelectorAll('[name=DATA_ITEM1] option').length"), 43)
        self.assertEqual(b.eval("document.querySelector('[name=DATA_ITEM2]').value"), "1")
        self.assertEqual(b.eval("new Promise(r => { const t = setInterval(() => {"
                                " const n = document.querySelectorAll('#data-charts figure').length;"
                                " if (n) { clearInterval(t); r(n); } }, 100); })"), 2)
        b.submit_and_wait("const s = document.querySelector('[name=DATA_SELBY]'); s.value = '2';"
                          "s.dispatchEvent(new Event('change')); true")
        self.assertEqual(b.eval("location.search"), "?DATA_SELBY=2")
        year = datetime.date.today().year
        self.assertEqual(b.eval("document.getElementById('data-range').textContent"),
                         "01/01/%d ~ 12/31/%d" % (year, year))
        self.assertEqual(b.eval("document.querySelector('[name=DATA_SELBY]').value"), "2")

        b.navigate(BASE + "/en/hist_config.asp")
        self.assertEqual(b.eval("document.querySelector('[name=HCG_AE_PATH]').value"), "/tmp/")
        self.assertEqual(b.errors(), [])


if __name__ == "__main__":
    harness.main()
