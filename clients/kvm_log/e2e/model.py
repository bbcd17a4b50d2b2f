"""What a report of a log must say, counted from the log's records by the
accumulation rules of the analysis (hits, visits, pages, paths), written
apart from the engine and without calling it.

`Analysis(settings).run(records)` counts; `expected_report(...)` turns the
counts into the values that the report's template lines must show.
"""

import collections
import time

IDLE_LIMIT = 1800  # seconds a visit stays open without a successful hit
PATH_LENGTH = 6    # pages a visit path keeps

ROBOT_WORDS = ["SPYDER", "SPIDER", "SLURP", "SCOOTER", "INFOSEEK", "GULLIVER", "LYCOS", "FIDO", "NETSITE",
               "SURFBOT", "WWW-COLLECTOR", "BACKRUB", "CRAWLER", "ENIGMABOT", "LINKBOT", "WEBFIND", "HAPPYBOT",
               "DOCUMAGIX", "WHACKER", "OBOT"]
BROWSER_ROWS = [("WEBTV", "WebTV"), ("NCSA MOSAIC", "NCSA Mosaic"), ("QMOSAIC", "Quarterdeck Mosaic"),
                ("OMNIWEB", "OmniWeb"), ("IBM WEBEXPLORER", "IBM WebExplorer"), ("LYNX", "Lynx"),
                ("MICROSOFT INTERNET EXPLORER", "Microsoft Internet Explorer"),
                ("MSIE", "Microsoft Internet Explorer"), ("SCOUTGET", "Scoutget"), ("KELVARON", "Kelvaron"),
                ("AIR_MOSAIC", "Spry AIR Mosaic"), ("SPRY_MOSAIC", "Spry AIR Mosaic"),
                ("SPYGLASS_MOSAIC", "SpyGlass Mosaic"), ("ENHANCED_MOSAIC", "SpyGlass Mosaic"),
                ("COMPUSERVE", "Compuserve"), ("AOLBROWSER", "America Online Browser"),
                ("IWENG", "IWENG"), ("GNNWORK", "GNNworks"), ("FFINET", "FFiNet DLL")]
PLATFORM_ROWS = [("WIN95", None, "Windows 95"), ("WINDOWS 95", None, "Windows 95"), ("WINNT", None, "Windows NT"),
                 ("WINDOWS NT", None, "Windows NT"), ("WINDOWS X86", None, "Windows 3.x"),
                 ("WIN16", None, "Windows 3.x"), ("WIN32", None, "Windows Win32s"),
                 ("WINDOWS", "16BIT", "Windows 3.x"), ("WINDOWS", "32BIT", "Windows Win32s"),
                 ("WINDOWS", "32-BIT", "Windows Win32s"), ("MACINTOSH", None, "Macintosh"),
                 ("LINUX", None, "Linux"), ("AIR_MOSAIC", "16BIT", "Windows 3.x"),
                 ("AIR_MOSAIC", "32BIT", "Windows Win32s"), ("SUN", None, "SunOS"),
                 ("HP-UX", None, "Hewlett Packard Unix (HP9000)"), ("X WINDOW", None, "X Windows"),
                 ("OS/2", None, "OS/2")]


def read_ini(path):
    """Sections of an INI file: {section lower: {key lower: value}}."""
    sections = {}
    current = None
    with open(path, encoding="latin-1") as f:
        for raw in f:
            line = raw.strip()
            if not line or line.startswith(";"):
                continue
            if line.startswith("[") and line.endswith("]"):
                current = sections.setdefault(line[1:-1].lower(), {})
            elif "=" in line and current is not None:
                k, v = line.split("=", 1)
                current.setdefault(k.strip().lower(), v.strip())
    return sections


def percent_text(part, whole):
    if whole == 0:
        return "0%"
    p = int(part * 10000.0 / whole)
    if p % 100 == 0:
        return "%d%%" % (p // 100)
    if p % 10 == 0:
        return "%d.%d%%" % (p // 100, (p % 100) // 10)
    return "%d.%02d%%" % (p // 100, p % 100)


def thousands(value):
    return "{:,}".format(int(value))


def kilobytes(nbytes):
    return thousands((int(nbytes) + 1023) // 1024)


def cut_long(text):
    if len(text) <= 260:
        return text
    text = text[:260]
    return text[:256] + "..." if "?" in text else text


def decode(text):
    """%xx escapes (either case of hex digit) become their byte; other % stay."""
    if "%" not in text:
        return text
    out = ""
    i = 0
    while i < len(text):
        pair = text[i + 1:i + 3]
        if text[i] == "%" and len(pair) == 2 and all(x in "0123456789abcdefABCDEF" for x in pair):
            out += chr(int(pair, 16))
            i += 3
        else:
            out += text[i]
            i += 1
    return out


def clock(seconds):
    return "%02d:%02d:%02d" % (seconds // 3600, (seconds // 60) % 60, seconds % 60)


ASCII_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")


def fold(text):
    """Names compare with A-Z as a-z and every other byte as it is."""
    if not isinstance(text, str):
        return text  # a visit path: pages already folded
    return text.translate(ASCII_LOWER)


class Item:
    def __init__(self, name):
        self.name = name
        self.hits = 0
        self.users = 0
        self.bytes = 0
        self.noncached = 0
        self.time = 0
        self.time_count = 0
        self.details = None  # search tables: folded name -> [name, hits, visits]

    def count(self, new_visitor):
        self.hits += 1
        if new_visitor:
            self.users += 1


class Table:
    """Items by name, letters compared without case; the first spelling names the item."""

    def __init__(self):
        self.items = {}
        self.order = []

    def add(self, name):
        key = fold(name)
        item = self.items.get(key)
        if item is None:
            item = self.items[key] = Item(name)
            self.order.append(item)
        return item

    def count(self, name, new_visitor):
        item = self.add(name)
        item.count(new_visitor)
        return item

    def __len__(self):
        return len(self.order)


class Visit:
    def __init__(self):
        self.last = 0
        self.lists = {k: set() for k in ("documents", "downloads", "uploads", "forms", "directories", "adviews",
                                         "adclicks")}
        self.documents = []  # in first-touch order
        self.forms = []
        self.trail = []
        self.page_time = 0
        self.page = None  # (is form, folded name)
        self.time = 0
        self.time_count = 0


def leading_number(text):
    digits = ""
    for c in text:
        if not c.isdigit():
            break
        digits += c
    return int(digits) if digits else 0


class Analysis:
    def __init__(self, settings, report_ini, keywords_ini, window_start, window_end, home_page, base_ini,
                 country_codes, ads=()):
        ini = read_ini(settings)["defaults"]
        for key in ("documenttypes", "downloadtypes"):
            if "{" in ini.get(key, ""):
                raise ValueError("file types with query flags are not modelled: " + ini[key])
        self.document_types = {fold(x) for x in ini.get("documenttypes", "htm txt mdl shtml htmls html").split()}
        self.download_types = {fold(x) for x in
                               ini.get("downloadtypes", "exe com zip pdf arc bin sit tar gz z arj").split()}
        opts = read_ini(report_ini)
        self.codes = opts["returncodes"]
        self.generic = opts["generic"]
        self.legends = opts["legends"]
        self.weekday_names = [w.strip() for w in opts["weekdays"]["short"].split(",")]
        self.day_format = opts["intl"]["reportactivitytimefmt"]
        self.work_hours = [int(h) for h in opts["intl"]["workhours"].split(",")]
        self.after_hours = [int(h) for h in opts["intl"]["afterhours"].split(",")]
        self.engines = self._engines(keywords_ini)
        self.home_folder, self.home_file = self.split_home_page(home_page)
        self.us_domains = {fold(x) for x in ini.get("usdomains", "com edu net org gov mil int arpa").split()}
        labels = opts["suffixes"]
        # Domain suffixes and the organisation type each stands for.
        self.suffixes = {}
        for kind in ("gov", "mil", "net", "org", "int", "arpa", "edu", "com"):
            for word in ini.get(kind + "_orgtype", kind).replace(";", " ").replace(",", " ").split():
                self.suffixes.setdefault(fold(word), labels[kind])
        self.home_country = read_ini(base_ini).get("language", {}).get("country", "US")[:39]
        self.countries = {}
        count = int(opts["countries"]["count"])
        for n in range(1, count + 1):
            item = opts["countries"].get("item%d" % n)
            if item and "," in item:
                name, code = item.rsplit(",", 1)
                self.countries.setdefault(fold(code.strip()), name)
        self.country_codes = country_codes
        # Ads: name, words of a view, words of a click (upper-cased).
        self.ads = [(name, view.upper().split(), click.upper().split()) for name, view, click in ads]
        top = ini.get("maxtopcount", "")
        self.max_top = int(top) if top else 500
        idle = ini.get("cachedtime", "")
        self.idle = int(idle) if idle else IDLE_LIMIT
        self.live_companies = collections.OrderedDict()  # folded name -> last time
        self.others = Item(self.generic["others"])
        self.start = window_start
        self.end = window_end
        self.tables = {}
        self.visits = collections.OrderedDict()
        t = self.t = {}
        for k in ("hits", "users", "domestic", "international", "unknown", "home", "cached", "bytes", "failed",
                  "other_method", "documents", "forms", "failed_forms", "session_time", "session_count",
                  "closed_days", "weekday_hits", "weekday_users", "weekday_count", "weekend_hits",
                  "weekend_users", "weekend_count", "most_hits", "most_users", "today_hits", "today_users",
                  "today_time"):
            t[k] = 0
        t["fewest_hits"] = t["fewest_users"] = 0xFFFFFFFF
        t["today"] = t["most_hits_day"] = t["fewest_hits_day"] = t["most_users_day"] = t["fewest_users_day"] = ""
        for code in list(range(500, 504)) + list(range(400, 405)):
            t["failed%d" % code] = 0
        # Weekday and hour tables list every name in order once used.
        for name in self.weekday_names:
            self.table("TopWeekdays").add(name)
        for h in range(24):
            self.table("TopHours").add("%02d:00-%02d:59" % (h, h))
        self.table_order_fixed = {"TopWeekdays", "TopHours", "TopBandwidth"}

    @staticmethod
    def _engines(path):
        ini = read_ini(path)
        names = []
        n = 1
        while ini["searchengines"].get("engine%d" % n, "NoMore") != "NoMore":
            names.append(ini["searchengines"]["engine%d" % n])
            n += 1
        engines = []
        for name in names:
            sec = ini.get(name.lower(), {})

            def series(key):
                out, i = [], 1
                while sec.get("%s%d" % (key, i), "NoMore") != "NoMore":
                    out.append(sec["%s%d" % (key, i)])
                    i += 1
                return out[::-1]  # lists are built at their front

            engines.append((name, series("id"), series("keywordindicator")))
        return engines[::-1]

    def table(self, name):
        if name not in self.tables:
            self.tables[name] = Table()
        return self.tables[name]

    # ---- one hit ----------------------------------------------------------------

    def run(self, records):
        for r in records:
            self.hit(r)
        self.close_day(0)
        for host in list(self.visits):
            self.post(self.visits.pop(host))
        return self

    def day_text(self, t):
        return time.strftime(self.day_format, time.gmtime(t))

    def close_day(self, when):
        t = self.t
        day = "" if when == 0 else self.day_text(when)
        if day == t["today"] or not (t["today_time"] <= when or when == 0):
            return
        if t["most_hits"] < t["today_hits"]:
            t["most_hits"], t["most_hits_day"] = t["today_hits"], t["today"]
        if t["today_hits"] != 0 and t["today_hits"] < t["fewest_hits"]:
            t["fewest_hits"], t["fewest_hits_day"] = t["today_hits"], t["today"]
        if t["most_users"] < t["today_users"]:
            t["most_users"], t["most_users_day"] = t["today_users"], t["today"]
        if t["today_users"] != 0 and t["today_users"] < t["fewest_users"]:
            t["fewest_users"], t["fewest_users_day"] = t["today_users"], t["today"]
        t["today"] = day
        if t["today_time"] != 0:
            t["closed_days"] += 1
            weekday = time.gmtime(t["today_time"]).tm_wday  # Monday 0 ... Sunday 6
            kind = "weekend" if weekday >= 5 else "weekday"
            t[kind + "_count"] += 1
            t[kind + "_hits"] += t["today_hits"]
            t[kind + "_users"] += t["today_users"]
            t["today_hits"] = t["today_users"] = 0
        t["today_time"] = when

    @staticmethod
    def split_home_page(home):
        """The site base (the home page up to its last separator) and the
        default document (what follows it)."""
        prefix = next((p for p in ("http://", "ftp://", "file:///") if home.startswith(p)), "")
        folder = prefix
        for i in range(len(home) - 1, len(prefix) - 1, -1):
            if home[i] in "\\/:":
                folder = home[:i + 1] if home[i] == ":" else home[:i]
                break
        cut = max(home.rfind("\\"), home.rfind("/"), home.rfind(":"))
        return folder, home[cut + 1:]

    def domain_of(self, host):
        """The domain a hit carries: no lookups are made, so an address has
        none; a host logged by name gives its last two labels, or three
        under a known country's domain."""
        if all(c.isdigit() or c == "." for c in host):
            return None
        labels = host.split(".")
        if len(labels) == 1:
            return host
        last = fold(labels[-1])
        known = last == "us" or (last not in ("gov", "mil", "net", "org", "int", "arpa", "edu", "com")
                                 and last in self.country_codes)
        keep = 3 if known else 2
        return ".".join(labels[-keep:])

    def geography(self, domain):
        """The origin of a new visitor: a country code, or None when unknown.
        No organisation file lists these test domains."""
        if domain is None:
            return None  # the unresolved text: a word without a dot
        last = domain.rsplit(".", 1)[-1]
        if fold(last) in self.us_domains:
            return "US"
        if last and len(last) < 3:
            return last.upper()
        return None

    def country_name(self, code):
        return self.countries.get(fold(code), code)

    def count_company(self, name, new_visitor, when):
        """Visitor domains expire after the idle limit; an expired one is kept
        in the top list, or folded into the catch-all item when the list has
        no room (a limit of 1 or less keeps none)."""
        table = self.table("TopCompanies")
        if self.max_top <= 1:
            while self.live_companies:
                oldest = next(iter(self.live_companies))
                if self.live_companies[oldest] + self.idle >= when:
                    break
                del self.live_companies[oldest]
                gone = table.items.pop(oldest)
                table.order.remove(gone)
                self.others.hits += gone.hits
                self.others.users += gone.users
        elif len(table) >= self.max_top - 1:
            raise ValueError("more organisations than the top list holds: not modelled")
        key = fold(name)
        table.count(name, new_visitor)
        self.live_companies[key] = when
        self.live_companies.move_to_end(key)

    def page_of(self, url):
        """The page's address, the part after the site, and its extension."""
        path = url[:250]
        page = self.home_folder + path
        part = path
        head = path.split("?", 1)[0]
        segment = head.replace("\\", "/").rsplit("/", 1)[-1]
        extension = ""
        if "." in segment:
            extension = path[len(head) - len(segment) + segment.rfind(".") + 1:]
        if not extension and "?" not in path:
            if not page.endswith(("/", "\\")):
                page += "/"
                part += "/"
            page += self.home_file
            part += self.home_file
            extension = self.home_file.rsplit(".", 1)[1] if "." in self.home_file else ""
        return page, part, extension

    @staticmethod
    def matches_type(extension, types):
        """Whether a listed file type names the extension; each type listed
        here stands for requests without a query."""
        return "?" not in extension and fold(extension[:511]) in types

    def directory_of(self, page):
        if self.home_folder and fold(page).startswith(fold(self.home_folder)):
            start = len(self.home_folder)
        else:
            # After the scheme and the host; a page without a site base is
            # the request path itself.
            scheme = page.find("://")
            start = 0
            if scheme >= 0:
                start = scheme + 3
                while start < len(page) and page[start] not in "/\\":
                    start += 1
        rest = page[start:]
        if rest[:1] in ("/", "\\"):
            cut = 1
            while cut < len(rest) and rest[cut] not in "/\\":
                cut += 1
            if cut == len(rest):
                cut = 0
        else:
            cut = 0
            while cut < len(rest) and rest[cut] not in "/\\":
                cut += 1
            if cut == len(rest):
                return None
        return page[:start + cut + 1]

    @staticmethod
    def referrer_key(referrer):
        if "?" not in referrer:
            return referrer
        head, tail = referrer.split("?", 1)
        return head + "?" + tail[:35]

    @staticmethod
    def referring_site(referrer):
        site = referrer[:199]
        if fold(site).startswith("file:///"):
            return site
        start = (7 if fold(site).startswith("http://") else 8 if fold(site).startswith("https://")
                 else 6 if fold(site).startswith("ftp://") else 0)
        for i in range(start, len(site)):
            if site[i] in "/\\:":
                return site[:i] + "/"
        return site

    def agent_names(self, agent):
        """Browser, version row (table, name) or None, platform, robot or None."""
        if "  " in agent:
            agent = agent[:agent.index("  ")]
        upper = agent.upper()[:99]
        if not agent:
            browser = self.generic["others"]
        elif "MOZILLA" in upper and "COMPATIBLE" not in upper:
            browser = "Netscape"
        else:
            browser = next((name for pattern, name in BROWSER_ROWS if pattern in upper), None)
            if browser is None:
                browser = ("Other Netscape Compatible" if "MOZILLA" in upper and "COMPATIBLE" in upper
                           else agent)
        version = None
        if browser == "Netscape":
            slash = agent.find("/")
            dot = agent.find(".", slash + 1) if slash >= 0 else -1
            version = ("TopNetscape", "Netscape " + agent[slash + 1:dot + 1] + "x" if slash >= 0 and dot >= 0
                       else "Netscape")
        elif browser == "Microsoft Internet Explorer":
            if "Microsoft Internet Explorer/4" in agent:
                v = "4."
            elif "MSIE " in agent:
                at = agent.index("MSIE ") + 5
                v = agent[at:at + 2]
            else:
                v = "1."
            version = ("TopExplorer", "Explorer " + v + "x")
        platform = next((name for p1, p2, name in PLATFORM_ROWS if p1 in upper and (p2 is None or p2 in upper)),
                        self.generic["others"])
        robot = None
        if any(w in upper for w in ROBOT_WORDS):
            robot = agent[:99]
            if not robot.startswith("Mozilla") and "/" in robot:
                robot = robot[:robot.index("/")]
        return browser, version, platform, robot

    def search(self, referrer, new_visitor):
        work = referrer[:299]
        for name, ids, indicators in self.engines:
            for ident in ids:
                at = work.find(ident)
                if at < 0:
                    continue
                for indicator in indicators:
                    k = work.find(indicator, at + len(ident))
                    if k >= 0 and k + len(indicator) < len(work):
                        return self.count_search(name, work[k + len(indicator):], new_visitor)
        return None

    def count_search(self, engine, text, new_visitor):
        engine_item = self.table("TopSearchEngines").count(engine, new_visitor)
        decoded = decode(text)
        words = []
        word = ""
        for c in decoded:
            if c == "&":
                break
            if c in ' +"=':
                if len(word.strip(' "')) >= 2:
                    words.append(word)
                word = ""
            else:
                word += c
        if len(word.strip(' "')) >= 2:
            words.append(word)
        for w in words:
            w = w[:199].lower()
            if w in ("and", "or"):
                continue
            item = self.table("TopSearchKeywords").count(w, new_visitor)
            for owner, other in ((engine_item, w), (item, engine)):
                if owner.details is None:
                    owner.details = {}
                d = owner.details.setdefault(fold(other), [other, 0, 0])
                d[1] += 1
                if new_visitor:
                    d[2] += 1

    def time_on_page(self, visit, is_form, key, when):
        t = when
        if visit.page_time != 0:
            t = max(when, visit.page_time)
            d = t - visit.page_time
            visit.time += d
            visit.time_count += 1
            was_form, previous = visit.page
            item = self.table("TopForms" if was_form else "TopDocuments").items[previous]
            item.time += d
            item.time_count += 1
        visit.page = (is_form, key)
        visit.page_time = t

    @staticmethod
    def add_trail(visit, entry):
        if len(visit.trail) < PATH_LENGTH and (not visit.trail or visit.trail[-1] != entry):
            visit.trail.append(entry)

    def first_touch(self, visit, kind, name):
        key = fold(name)
        if key in visit.lists[kind]:
            return False
        visit.lists[kind].add(key)
        return True

    def post(self, visit):
        if visit.page_time == 0:
            return
        t = self.t
        if visit.time_count and visit.time:
            t["session_time"] += visit.time
            t["session_count"] += 1
        is_form, key = visit.page
        name = self.table("TopForms" if is_form else "TopDocuments").items[key].name
        self.table("TopExit").count(name, 1)
        if visit.trail:
            self.table("TopPaths").count(tuple(visit.trail), 1)
        if len(visit.documents) == 1 and not visit.forms:
            self.table("TopSinglePage").count(self.table("TopDocuments").items[visit.documents[0]].name, 1)
        elif not visit.documents and len(visit.forms) == 1:
            self.table("TopSinglePage").count(self.table("TopForms").items[visit.forms[0]].name, 1)

    def hit(self, r):
        t = self.t
        when = r["time"]
        verb = r["method"].upper()
        method = next((code for prefix, code in (("GET", 0), ("PUT", 1), ("POST", 2), ("HEAD", 3))
                       if verb.startswith(prefix)), 4)
        if method == 4 and verb:
            return  # a request of an unknown method is no hit
        status = leading_number(r["status"])
        success = 200 <= status <= 399 or (status <= 99 and r["protocol"].upper().startswith("FTP"))
        size = r["size"]
        nbytes = 0 if method == 1 or size.startswith("-") else leading_number(size)
        referrer = "" if r["referrer"] == "-" else decode(cut_long(r["referrer"]))
        agent = "" if r["agent"] == "-" else r["agent"]
        user = "" if r["user"] == "-" else r["user"]
        host = r["host"]
        url = decode(cut_long(r["url"]))
        if url.endswith("?"):
            url = url[:-1]

        self.close_day(when)
        if nbytes != 0:
            self.table("TopBandwidth").add(" ").hits += 1

        visit = None
        new_visitor = 0
        if success:
            # Visits idle for longer than the limit end (the log is in time
            # order, so the oldest visits lead the ordered dict).
            while self.visits:
                oldest = next(iter(self.visits))
                if self.visits[oldest].last + self.idle >= when:
                    break
                self.post(self.visits.pop(oldest))
            key = fold(host)
            visit = self.visits.get(key)
            if visit is not None:
                self.visits.move_to_end(key)
            if visit is None:
                visit = self.visits[key] = Visit()
                new_visitor = 1
                t["users"] += 1
                t["today_users"] += 1
            visit.last = max(visit.last, when)
        else:
            if 500 <= status <= 503:
                t["failed%d" % status] += 1
                self.table("TopServerErrors").count(self.codes[str(status)], 0)
            else:
                if 400 <= status <= 404:
                    t["failed%d" % status] += 1
                    name = self.codes[str(status)]
                else:
                    name = self.codes["uk"].replace("%03d", "%03d" % status)
                self.table("TopClientErrors").count(name, 0)

        if success:
            self.table("TopUsers").count(host, new_visitor)
        self.search(referrer, new_visitor)

        if method == 4:
            t["other_method"] += 1
        if success:
            t["today_hits"] += 1
        t["hits"] += 1
        if status == 304:
            t["cached"] += 1
        elif success:
            t["bytes"] += nbytes
        if not success:
            t["failed"] += 1
        if method == 4:
            return

        page, part, extension = self.page_of(url)
        is_form = method == 2 or (method == 0 and "?" in url)
        is_upload = method == 1
        if extension:
            is_document = self.matches_type(extension, self.document_types)
        else:
            is_document = "?" not in page

        if success:
            upper = url.upper()[:1023]
            for name, view_words, click_words in self.ads:
                view = bool(view_words) and all(w in upper for w in view_words)
                click = bool(click_words) and all(w in upper for w in click_words)
                for counted, table, kind in ((view, "TopAdViews", "adviews"), (click, "TopAdClicks", "adclicks")):
                    if counted:
                        self.table("TopAds").add(name).hits += 1
                        item = self.table(table).count(name, 0)
                        if self.first_touch(visit, kind, name):
                            item.users += 1
                if view or click:
                    break
            if not is_upload and (part in ("/", "\\") or fold(part[1:]) == fold(self.home_file)):
                t["home"] += 1
            if is_document:
                t["documents"] += 1
                item = self.table("TopDocuments").count(page, 0)
                key = fold(page)
                self.add_trail(visit, (0, key))
                self.time_on_page(visit, 0, key, when)
                if self.first_touch(visit, "documents", page):
                    visit.documents.append(key)
                    item.users += 1
                    if len(visit.documents) == 1 and not visit.forms:
                        self.table("TopEntry").count(page, 1)
            if is_upload:
                item = self.table("TopUploads").count(page, 0)
                if self.first_touch(visit, "uploads", page):
                    item.users += 1
            elif extension and self.matches_type(extension, self.download_types):
                item = self.table("TopDownloads").count(page, 0)
                if self.first_touch(visit, "downloads", page):
                    item.users += 1
            if not is_upload and status != 304:
                kind = extension.split("?")[0] if extension else \
                    "*." + (self.home_file.rsplit(".", 1)[1] if "." in self.home_file else "")
                item = self.table("TopExtensions").count(kind, 0)
                item.bytes += nbytes
            if not fold(url).startswith("http://"):
                folder = self.directory_of(page)
                if folder is not None:
                    item = self.table("TopDirectory").count(folder, 0)
                    if self.first_touch(visit, "directories", folder):
                        item.users += 1
                    if status != 304:
                        item.noncached += 1
                        item.bytes += nbytes
            if new_visitor:
                self.table("TopReferers").count(self.referrer_key(referrer) if referrer
                                                else self.generic["noreferrer"], 1)
                self.table("TopReferingSites").count(self.referring_site(referrer) if referrer
                                                     else self.generic["noreferrer"], 1)
            if user:
                self.table("TopAuthUsers").count(user, new_visitor)
            browser, version, platform, robot = self.agent_names(agent)
            self.table("TopBrowsers").count(browser, new_visitor)
            if version:
                self.table(version[0]).count(version[1], new_visitor)
            self.table("TopPlatforms").count(platform, new_visitor)
            if robot:
                self.table("TopSpiders").count(robot, new_visitor)
            domain = self.domain_of(host)
            if domain is not None:
                suffix = next((domain[i + 1:] for i in range(len(domain) - 1, -1, -1)
                               if domain[i] == "." and len(domain) - i - 1 > 2), None)
                if suffix is not None and not suffix.isdigit() and fold(suffix) in self.suffixes:
                    self.table("TopSuffixes").count(self.suffixes[fold(suffix)], new_visitor)
            if new_visitor:
                code = self.geography(domain)
                domestic = code is not None and (self.home_country == "*" or fold(code) == fold(self.home_country))
                if code is None:
                    t["unknown"] += 1
                    origin = self.legends["unknown"]
                else:
                    t["domestic" if domestic else "international"] += 1
                    self.table("TopCountries").count(code, 1)
                    origin = code if domestic else self.legends["international"]
                self.table("TopVisitors").count(origin, 1)
            self.count_company(domain if domain is not None else host, new_visitor, when)
            g = time.gmtime(when)
            self.table("TopWeekdays").count(self.weekday_names[(g.tm_wday + 1) % 7], new_visitor)
            self.table("TopHours").count("%02d:00-%02d:59" % (g.tm_hour, g.tm_hour), new_visitor)

        if is_form:
            t["forms"] += 1
            if not success:
                t["failed_forms"] += 1
            if success:
                form = page.split("?")[0][:511]
                item = self.table("TopForms").count(form, 0)
                key = fold(form)
                if not is_document:
                    self.add_trail(visit, (1, key))
                    self.time_on_page(visit, 1, key, when)
                    if self.first_touch(visit, "forms", form):
                        visit.forms.append(key)
                        item.users += 1
                        if not visit.documents and len(visit.forms) == 1:
                            self.table("TopEntry").count(form, 1)
            self.table("TopFormErrors").count(self.generic["successfulforms"] if success
                                              else self.generic["failedforms"], new_visitor)


# ---- the report's values ---------------------------------------------------------

# Tables sorted by users instead of hits.
BY_USERS = {"TopReferingSites"}
# Tables whose rows begin with the catch-all item.
WITH_OTHERS = {"TopCompanies"}


def path_text(analysis, key):
    names = []
    for is_form, page in key:
        # A form reads as its page with a "?".
        names.append(analysis.table("TopForms" if is_form else "TopDocuments").items[page].name + ("?" if is_form else ""))
    return "".join(("<B>%d. %s</B><BR>" if i == 0 else "<I>%d. %s</I><BR>") % (i + 1, n)
                   for i, n in enumerate(names))


def expected_rows(analysis, family):
    """Rows of a family, each a dict of the columns the template shows."""
    source = "TopDocuments" if family == "TopBottom" else family
    table = analysis.tables.get(source, Table())
    items = list(table.order)
    if family in WITH_OTHERS and items:
        items = [analysis.others] + items
    total = sum(i.hits for i in items)
    rows = []
    for i in items:
        desc = i.name
        if family == "TopPaths":
            desc = path_text(analysis, i.name)
        elif family in ("TopCountries", "TopVisitors"):
            desc = analysis.country_name(i.name)[:39]
        row = {"desc": desc,
               "hits": str(i.hits), "users": str(i.users), "bytes": kilobytes(i.bytes),
               "percent": percent_text(i.hits, total),
               "time": clock(i.time // i.time_count) if i.time_count and i.time // i.time_count else None,
               "noncached": percent_text(i.noncached, i.hits), "sort": i.users if family in BY_USERS else i.hits}
        if i.details is not None:
            row["details"] = {d[0]: (d[1], d[2], percent_text(d[1], total)) for d in i.details.values()}
        rows.append(row)
    return rows


def expected_ads(analysis):
    """Rows of the ads table (its views and clicks by ad) and their totals."""
    ads = analysis.tables.get("TopAds", Table()).order
    views = analysis.tables.get("TopAdViews", Table())
    clicks = analysis.tables.get("TopAdClicks", Table())

    def of(table, name):
        item = table.items.get(fold(name))
        return (item.hits, item.users) if item else (0, 0)

    all_views = sum(of(views, a.name)[0] for a in ads)
    all_clicks = sum(of(clicks, a.name)[0] for a in ads)
    rows = []
    for a in ads:
        vh, vu = of(views, a.name)
        ch, cu = of(clicks, a.name)
        rows.append((a.name, str(vh), str(vu), percent_text(vh, all_views), str(ch), str(cu),
                     percent_text(ch, all_clicks), percent_text(ch, vh), percent_text(cu, vu)))
    vh = sum(of(views, a.name)[0] for a in ads)
    vu = sum(of(views, a.name)[1] for a in ads)
    ch = sum(of(clicks, a.name)[0] for a in ads)
    cu = sum(of(clicks, a.name)[1] for a in ads)
    totals = (str(vh), str(vu), percent_text(vh, all_views), str(ch), str(cu), percent_text(ch, all_clicks),
              percent_text(ch, vh), percent_text(cu, vu))
    return rows, totals, [a.hits for a in ads]


def expected_totals(analysis, family, rows):
    first = 1 if family in WITH_OTHERS else 0
    shown = rows[first:]
    source = "TopDocuments" if family == "TopBottom" else family
    table = analysis.tables.get(source, Table())
    nbytes = sum(i.bytes for i in table.order)
    hits = sum(int(r["hits"]) for r in shown)
    all_hits = sum(int(r["hits"]) for r in rows)
    return {"hits": str(hits), "users": str(sum(int(r["users"]) for r in shown)),
            "bytes": kilobytes(nbytes), "percent": percent_text(hits, all_hits)}


def expected_headers(a, days):
    t = a.t
    users = t["users"]
    good = t["hits"] - t["failed"]
    week = a.table("TopWeekdays")
    hours = a.table("TopHours")

    def weekday_sum(names, attr):
        return sum(getattr(week.items[fold(n)], attr) for n in names)

    def hour_sum(hs, attr):
        return sum(getattr(hours.items[fold("%02d:00-%02d:59" % (h, h))], attr) for h in hs)

    def pct0(part, whole):
        return "0" if part == 0 else percent_text(part, whole)

    def most(table, fewest=False):
        best = None
        for item in table.order:
            if best is None or (item.hits < best.hits if fewest else item.hits > best.hits):
                best = item
        return best.name if best else ""

    weekend_w = t["weekend_count"] if t["weekend_count"] == 1 else (t["weekend_count"] + 1) // 2
    week_all = sum(i.hits for i in week.order)
    hours_all = sum(i.hits for i in hours.order)
    workdays = a.weekday_names[1:6]
    weekend = [a.weekday_names[0], a.weekday_names[6]]
    h = {
        "HeaderHomePageHits": t["home"],
        "HeaderPageTotalPageImpressions": t["documents"],
        "HeaderTotalHits": good,
        "HeaderTotalUsers": users,
        "HeaderUSAUsersPercent": percent_text(t["domestic"], users),
        "HeaderInternationalUsersPercent": percent_text(t["international"], users),
        "HeaderOriginUnknownUsersPercent": percent_text(t["unknown"], users),
        "HeaderAveragePageImprPerDay": t["documents"] // days if days else 0,
        "HeaderAverageHitsPerDay": good // days if days else 0,
        "HeaderAverageUsersPerDay": users // days if days else 0,
        "HeaderAverageUsersTime": clock(t["session_time"] // t["session_count"])
        if t["session_time"] and t["session_count"] else "N/A",
        "GeneralStatsHeaderSearchEnginesHits": sum(i.hits for i in a.table("TopSearchEngines").order),
        "GeneralStatsSearchKeywordsHits": sum(i.hits for i in a.table("TopSearchKeywords").order),
        "SummaryByDayAvgUsersOnWeekdays": t["weekday_users"] // t["weekday_count"] if t["weekday_count"] else 0,
        "SummaryByDayAvgHitsOnWeekdays": t["weekday_hits"] // t["weekday_count"] if t["weekday_count"] else 0,
        "SummaryByDayAvgUsersOnWeekends": t["weekend_users"] // weekend_w if t["weekend_count"] else 0,
        "SummaryByDayAvgHitsOnWeekends": t["weekend_hits"] // weekend_w if t["weekend_count"] else 0,
        "SummaryByDayMostActiveDayOfWeek": most(week),
        "SummaryByDayLeastActiveDayOfWeek": most(week, fewest=True),
        "SummaryByDayMostActiveDayEver": t["most_hits_day"],
        "SummaryByDayMostActiveDayEverHits": t["most_hits"],
        "SummaryByDayLeastActiveDayEver": t["fewest_hits_day"],
        "SummaryByDayLeastActiveDayEverHits": "N/A" if t["fewest_hits"] == 0xFFFFFFFF else t["fewest_hits"],
        "SummaryByHourMostActiveHour": most(hours),
        "SummaryByHourLeastActiveHour": most(hours, fewest=True),
        "TechnicalStatsTotalHits": t["hits"],
        "TechnicalStatsSuccessfulHits": good,
        "TechnicalStatsFailedHits": t["failed"],
        "TechnicalStatsFailedHitsAsPercent": percent_text(t["failed"], t["hits"]),
        "TechnicalStatsCachedHits": t["cached"],
        "TechnicalStatsCachedHitsAsPercent": percent_text(t["cached"], t["hits"]),
        "FormsSubmittedSuccess": t["forms"] - t["failed_forms"],
        "FormsSubmittedFailed": t["failed_forms"],
        "FormsSubmittedFailedAsPercent": percent_text(t["failed_forms"], t["forms"]),
        "TopWeekdaysWeekdayHits": weekday_sum(workdays, "hits"),
        "TopWeekdaysWeekdayAsPercent": pct0(weekday_sum(workdays, "hits"), week_all),
        "TopWeekdaysWeekdayUsers": weekday_sum(workdays, "users"),
        "TopWeekdaysWeekendHits": weekday_sum(weekend, "hits"),
        "TopWeekdaysWeekendAsPercent": pct0(weekday_sum(weekend, "hits"), week_all),
        "TopWeekdaysWeekendUsers": weekday_sum(weekend, "users"),
        "TopHoursWorkHoursHits": hour_sum(a.work_hours, "hits"),
        "TopHoursWorkHoursAsPercent": pct0(hour_sum(a.work_hours, "hits"), hours_all),
        "TopHoursWorkHoursUsers": hour_sum(a.work_hours, "users"),
        "TopHoursAfterHoursHits": hour_sum(a.after_hours, "hits"),
        "TopHoursAfterHoursAsPercent": pct0(hour_sum(a.after_hours, "hits"), hours_all),
        "TopHoursAfterHoursUsers": hour_sum(a.after_hours, "users"),
    }
    for code in range(500, 504):
        h["WebServerError_%d" % code] = t["failed%d" % code]
    for code in range(400, 405):
        h["WebClientError_%d" % code] = t["failed%d" % code]
    return {k: str(v) for k, v in h.items()}
