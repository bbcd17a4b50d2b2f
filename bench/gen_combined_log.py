#!/usr/bin/env python3
"""Writes a combined-format access log of at least the given size.

    gen_combined_log.py OUTPUT [MEGABYTES]   (default 100)

The content is pseudo-random but repeatable: client addresses, users, pages
with and without queries, statuses, sizes, referrers and browser texts of
typical lengths, with times that advance through several days.
"""
import random
import sys

MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
AGENTS = [
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.0.0 Safari/537.36",
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.1 Safari/605.1.15",
    "Mozilla/5.0 (X11; Linux x86_64; rv:121.0) Gecko/20100101 Firefox/121.0",
    "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1)",
    "Mozilla/5.0 (iPhone; CPU iPhone OS 17_1 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) Mobile/15E148",
    "Googlebot/2.1 (+http://www.google.com/bot.html)",
    "curl/8.4.0",
]
PAGES = ["/", "/index.html", "/products/list.html", "/images/logo.gif", "/css/site.css", "/js/app.js",
         "/search", "/cart/add", "/blog/2023/11/some-article-title.html", "/downloads/file.zip", "/about%20us.html"]
REFERRERS = ["-", "http://www.example.com/", "https://www.google.com/search?q=log+analysis",
             "http://news.example.org/story/12345", "https://www.example.com/products/list.html?page=2"]
METHODS = ["GET"] * 20 + ["POST"] * 3 + ["HEAD"]
STATUSES = [200] * 30 + [304] * 6 + [302] * 3 + [404] * 2 + [500]
USERS = ["-"] * 30 + ["alice", "bob", "carol"]


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    megabytes = float(sys.argv[2]) if len(sys.argv) > 2 else 100.0
    target = int(megabytes * 1024 * 1024)
    rng = random.Random(20261210)
    # Pools of whole fields keep the generator fast.
    hosts = ["%d.%d.%d.%d" % (rng.randint(1, 223), rng.randint(0, 255), rng.randint(0, 255), rng.randint(1, 254))
             for _ in range(5000)]
    requests = []
    for _ in range(4000):
        page = rng.choice(PAGES)
        if rng.random() < 0.3:
            page += "?id=%d&sort=%s" % (rng.randint(1, 99999), rng.choice(["asc", "desc", "name"]))
        requests.append('"%s %s HTTP/1.1"' % (rng.choice(METHODS), page))
    tails = []
    for _ in range(2000):
        tails.append('"%s" "%s"' % (rng.choice(REFERRERS), rng.choice(AGENTS)))

    written = 0
    seconds = 0
    day, month, year = 1, 2, 2024
    with open(out, "w", newline="\n") as f:
        chunk = []
        while written < target:
            seconds += rng.randint(0, 2)
            if seconds >= 86400:
                seconds -= 86400
                day += 1
                if day > 28:
                    day = 1
                    month = (month + 1) % 12
            stamp = "[%02d/%s/%d:%02d:%02d:%02d -0700]" % (day, MONTHS[month], year, seconds // 3600,
                                                           (seconds // 60) % 60, seconds % 60)
            line = "%s - %s %s %s %d %d %s\n" % (rng.choice(hosts), rng.choice(USERS), stamp, rng.choice(requests),
                                                  rng.choice(STATUSES), rng.randint(0, 60000), rng.choice(tails))
            chunk.append(line)
            written += len(line)
            if len(chunk) >= 10000:
                f.write("".join(chunk))
                chunk = []
        f.write("".join(chunk))
    print("%s: %d bytes" % (out, written))


if __name__ == "__main__":
    main()
