"""A week of a web site's access log in the combined format, made from a seed.

The site has pages, pictures, downloads, forms, a private area behind a log-on
and a few broken links; visitors come from a few hundred addresses with a
browser each, arrive through search engines, other sites or directly, and
walk one of a few dozen routes through the site with pauses between pages.
Some come back after a long pause, so that they count as new visits. Robots,
uploads, requests of other methods and server errors are mixed in.

Each record is a dict of the line's own texts (the fields as logged), so that
an independent reader can count them without parsing the line again.
"""

import random
import time

MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]

PAGES = (["/", "/index.html", "/about.html", "/contact.html", "/news/", "/news/2026.html",
          "/news/archive.htm", "/help/faq.html", "/help/manual.txt", "/Help/FAQ.html", "/products",
          "/products/", "/products/list.html", "/products/widgets.html", "/products/gadgets.shtml"] +
         ["/products/item%02d.html" % i for i in range(1, 31)] +
         ["/blog/post-%03d.html" % i for i in range(1, 41)] +
         ["/docs/chapter%d.htm" % i for i in range(1, 13)])
PRIVATE = ["/private/", "/private/report.html", "/private/accounts.html"]
DOWNLOADS = ["/files/setup.exe", "/files/manual.pdf", "/files/source.tar.gz", "/files/data.zip",
             "/files/tool.bin", "/files/Setup.EXE"]
FORMS_GET = ["/search?q=widgets", "/search?q=blue+gadgets", "/products/list.html?page=2",
             "/products/list.html?page=3", "/cgi-bin/lookup?id=7"]
FORMS_POST = ["/cgi-bin/order.pl", "/contact/send", "/cgi-bin/subscribe.cgi"]
RESOURCES = ["/img/logo.gif", "/img/banner.jpg", "/img/icon.png", "/css/site.css", "/js/menu.js",
             "/favicon.ico"]
BROKEN = ["/missing.html", "/old/page.htm", "/img/gone.gif", "/products/item99.html"]

SEARCHES = [
    ("http://www.google.com/search?q=%s&hl=en", "+"),
    ("http://www.google.co.uk/search?hl=en&q=%s", "+"),
    ("http://www.bing.com/search?q=%s&form=QBLH", "+"),
    ("http://search.yahoo.com/search?p=%s", "+"),
    ("http://duckduckgo.com/?q=%s", "+"),
    ("http://www.baidu.com/s?wd=%s&ie=utf-8", "+"),
    ("http://www.ecosia.org/search?q=%s", "%20"),
    ("http://www.startpage.com/do/search?query=%s", "+"),
]
WORDS = ["widgets", "blue", "gadgets", "cheap", "widget", "manual", "download", "setup", "and", "or",
         "x", "example", "best", "tools", "repair", "price", "review", "Widgets", "BLUE", "%22free",
         "shipping%22", "faq", "help", "news"]
SITES = ["http://www.partner.example.org/links.html", "http://blog.example.net/2026/11/review",
         "http://forum.example.org:8080/thread?id=42&page=3", "http://www.example.net/",
         "https://news.example.com/today?ref=front-page-top-stories-of-the-week",
         "http://directory.example.info/web/shopping/widgets?sort=name&order=ascending&page=1",
         "ftp://files.example.org/pub/index.txt", "file:///C:/docs/bookmarks.html",
         "http://partner.example.org\\mirror\\index.html", "http://www.partner.example.org/links.html"]

AGENTS = [
    "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)",
    "Mozilla/4.0 (compatible; MSIE 5.5; Windows 98)",
    "Mozilla/4.0 (compatible; MSIE 4.01; Windows 95)",
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0 Safari/537.36",
    "Mozilla/5.0 (X11; Linux x86_64; rv:120.0) Gecko/20100101 Firefox/120.0",
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.0",
    "Mozilla/3.01 (Win95; I)",
    "Mozilla/2.0 (OS/2; U)",
    "Lynx/2.8.9rel.1 libwww-FM/2.14",
    "Opera/9.80 (Windows NT 6.1; U; en) Presto/2.10",
    "Mozilla/5.0 (compatible; Konqueror/3.5; Linux)",
    "Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 6.0; WebTV/2.6)",
    "Wget/1.21.4",
    "-",
    "Mozilla/5.0 (compatible;  double blank; SunOS 5.8)",
]
ROBOTS = ["Googlebot/2.1 (+http://www.google.com/bot.html)",
          "Mozilla/5.0 (compatible; Yahoo! Slurp; http://help.yahoo.com/help/us/ysearch/slurp)",
          "Scooter/3.3", "WebCrawler/3.0 Robot libwww/5.0a", "Mozilla/2.0 (compatible; Ask Jeeves/Teoma)"]
USERS = ["alice", "bob", "carol", "dave", "Erin"]


# Client host names (logged by name, as a server with lookups on writes them)
# under generic, country and unknown top-level domains.
NAME_DOMAINS = ["kvtest-isp.net", "kvtest-acme.com", "dsl.kvtest-tel.com", "kvtest-univ.edu", "kvtest-agency.gov",
                "kvtest-club.org", "kvtest-web.de", "pool.kvtest-fai.fr", "kvtest-net.co.uk", "kvtest-biz.info",
                "kvtest-town.xq", "kvtest-ward.us", "kvtest-host.jp"]


def host_address(i):
    if i % 3 == 1:
        return "h%d.%s" % (i, NAME_DOMAINS[i % len(NAME_DOMAINS)])
    if i % 41 == 0:
        return "kvtest-gateway%d" % i
    return "%d.%d.%d.%d" % (192 if i % 3 else 198, (i * 7) % 250 + 1, (i * 13) % 200 + 10, i % 250 + 1)


def make_routes(rng):
    routes = []
    for _ in range(36):
        n = rng.choice([1, 1, 2, 3, 3, 4, 5, 6, 7, 8])
        start = rng.choice(["/", "/index.html", "/products/list.html", "/blog/post-001.html",
                            "/search?q=widgets", "/help/faq.html", "/cgi-bin/order.pl"])
        steps = [start] + [rng.choice(PAGES + FORMS_GET[:2] + FORMS_POST[:1]) for _ in range(n - 1)]
        routes.append(steps)
    return routes


def stamp(t, zone="+0000"):
    y, mo, d, h, mi, s = time.gmtime(t)[:6]
    return "%02d/%s/%04d:%02d:%02d:%02d %s" % (d, MONTHS[mo - 1], y, h, mi, s, zone)


def record(t, host, method, url, status, size, referrer, agent, user="-"):
    return {"time": t, "host": host, "method": method, "url": url, "protocol": "HTTP/1.1",
            "status": status, "size": size, "referrer": referrer, "agent": agent, "user": user}


def line_of(r, zone="+0000"):
    """The record as a log line; `time` is written with the zone given (a
    zone of +0000 says the time is UTC, any other that it is local)."""
    return '%s - %s [%s] "%s %s %s" %s %s "%s" "%s"' % (
        r["host"], r["user"], stamp(r["time"], zone), r["method"], r["url"], r["protocol"], r["status"],
        r["size"], r["referrer"], r["agent"])


def generate(seed, start, days, visits):
    """Records of `visits` visits over `days` days from `start` (seconds), in time order."""
    rng = random.Random(seed)
    routes = make_routes(rng)
    hosts = [host_address(i) for i in range(380)]
    agent_of = {h: rng.choice(AGENTS) for h in hosts}
    robots = [("66.249.%d.%d" % (i, i * 3 % 250 + 1), ROBOTS[i % len(ROBOTS)]) for i in range(12)]
    out = []
    site = "http://www.example.com"

    def size_of(url):
        return str(rng.randint(200, 90000)) if rng.random() > 0.02 else "0"

    for v in range(visits):
        host = rng.choice(hosts)
        agent = agent_of[host]
        user = rng.choice(USERS) if rng.random() < 0.06 else "-"
        t = start + rng.randint(0, days * 86400 - 4000)
        r = rng.random()
        if r < 0.35:
            engine, joint = rng.choice(SEARCHES)
            words = joint.join(rng.choice(WORDS) for _ in range(rng.randint(1, 3)))
            referrer = engine % words
        elif r < 0.6:
            referrer = rng.choice(SITES)
        else:
            referrer = "-"
        route = list(rng.choice(routes))
        if user != "-":
            route.append(rng.choice(PRIVATE))
        if rng.random() < 0.15:
            route.append(rng.choice(DOWNLOADS))
        if rng.random() < 0.05:
            route.insert(rng.randint(0, len(route)), rng.choice(BROKEN))
        # A visitor comes back later: a separate visit after the idle limit.
        repeat = 2 if rng.random() < 0.08 else 1
        for _ in range(repeat):
            previous = referrer
            for step, url in enumerate(route):
                method = "GET"
                status = "200"
                if url in FORMS_POST:
                    method = "POST"
                elif rng.random() < 0.02:
                    method = "HEAD"
                if url in BROKEN:
                    status = "404"
                elif url.startswith("/cgi-bin/") and rng.random() < 0.1:
                    status = rng.choice(["500", "503", "502"])
                elif url.startswith("/private/") and step == len(route) - 1 and rng.random() < 0.2:
                    status = "401"
                elif rng.random() < 0.03:
                    status = rng.choice(["304", "302", "403", "206", "400", "405"])
                size = "-" if status in ("304", "302") else size_of(url)
                out.append(record(t, host, method, url, status, size, previous, agent, user))
                if url.endswith((".html", "/", ".htm")) and status == "200":
                    for res in rng.sample(RESOURCES, rng.randint(0, 3)):
                        rs = "304" if rng.random() < 0.3 else "200"
                        out.append(record(t + rng.randint(0, 2), host, "GET", res, rs,
                                          "-" if rs == "304" else size_of(res), site + url, agent, user))
                previous = site + url.split("?")[0]
                t += rng.choice([0, 3, 15, 40, 90, 200, 600, 1200])
            t += rng.randint(1900, 9000)
            referrer = "-"

    # Robots, uploads, other methods and odd requests through the week.
    for i in range(400):
        host, agent = robots[i % len(robots)]
        t = start + rng.randint(0, days * 86400 - 1)
        out.append(record(t, host, "GET", rng.choice(PAGES + ["/robots.txt"]), "200", size_of(""), "-", agent))
    for i in range(60):
        host = rng.choice(hosts)
        t = start + rng.randint(0, days * 86400 - 1)
        out.append(record(t, host, "PUT", rng.choice(["/incoming/data.bin", "/incoming/notes.html",
                                                       "/upload/photo.jpg"]),
                          rng.choice(["201", "201", "403"]), "0", "-", agent_of[host]))
    for i in range(80):
        host = rng.choice(hosts)
        t = start + rng.randint(0, days * 86400 - 1)
        out.append(record(t, host, rng.choice(["OPTIONS", "DELETE", "PROPFIND"]), "/", rng.choice(["200", "405"]),
                          "0", "-", agent_of[host]))
    out = [r for r in out if start <= r["time"] < start + days * 86400]
    out.sort(key=lambda r: r["time"])
    return out
