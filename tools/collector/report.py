"""tools/events report: the funnel per campaign (downloads, starts, finishes, the rates),
by day and by Windows name, as one self-contained HTML page with an inline
SVG plot, and as CSV.

A start is a mode 1 ping, a finish a mode 0 ping (sent once the setup has
been started); the rate is finishes / starts over the same days. Downloads
are the copies serve --stub handed out, counted per campaign and day.

Anyone can send pings under any campaign and Windows name, so what is read
stays small whatever the database holds: the TOP campaigns by starts one by
one and the rest as one row, the same for Windows names, each summed by the
database. Only --all reads every campaign, and streams it to the CSV.
"""

import csv
import html
import re
from datetime import date, datetime, timedelta, timezone

PLOTTED = 6         # campaigns drawn one by one; the rest are drawn as one line
PLOT_DAYS = 366     # days drawn at most: the last ones of the period
TOP_WINDOWS = 20    # Windows names shown one by one; the rest make one row
COLOURS = ["#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#17becf", "#8c564b", "#e377c2", "#7f7f7f"]
UNKNOWN = "(unknown)"

_STARTS = "SUM(CASE WHEN mode = 1 THEN 1 ELSE 0 END)"
_FINISHES = "SUM(CASE WHEN mode = 0 THEN 1 ELSE 0 END)"


class Other(str):
    """The label of a row that stands for several campaigns or Windows
    names; told apart from a campaign of the same text by its type."""

    def __new__(cls, text, count):
        self = super().__new__(cls, text)
        self.count = count
        return self


class Funnel:
    """The numbers of one period that the page and the CSV show, summed by
    the database; no more rows than shown are read."""

    def __init__(self, store, first=None, last=None, min_starts=30, top=50):
        self.store, self.first, self.last, self.min_starts = store, first, last, min_starts
        where, self.args = [], []
        if first:
            where.append("day >= ?")
            self.args.append(first)
        if last:
            where.append("day <= ?")
            self.args.append(last)
        self.cond = " AND ".join(where) or "1 = 1"

        # Campaigns by starts, then downloads: those with downloads and no
        # ping yet are campaigns too.
        union = (f"SELECT campaign, 0 AS d, {_STARTS} AS s, {_FINISHES} AS f FROM events WHERE {self.cond} "
                 f"GROUP BY campaign UNION ALL SELECT campaign, SUM(count) AS d, 0 AS s, 0 AS f FROM downloads "
                 f"WHERE {self.cond} GROUP BY campaign")
        n = self._one(f"SELECT COUNT(DISTINCT campaign) FROM ({union}) AS u", 2)[0]
        d, s, f = self._one(f"SELECT SUM(d), SUM(s), SUM(f) FROM ({union}) AS u", 2)
        self.total = [s, f]
        self.total_downloads = d
        rows = self._rows(f"SELECT campaign, SUM(d), SUM(s), SUM(f) FROM ({union}) AS u "
                          f"GROUP BY campaign ORDER BY 3 DESC, 2 DESC, campaign LIMIT {top + 1}", times=2)
        if n > top + 1:  # the plot's rule: one "other" row only for two or more
            rows = rows[:top]
        self.campaigns = {c: [s_, f_] for c, _, s_, f_ in rows}
        self.downloads = {c: d_ for c, d_, _, _ in rows}
        names = list(self.campaigns)
        if n > len(names):
            other = Other(f"(other campaigns: {n - len(names)})", n - len(names))
            self.campaigns[other] = [s - sum(v[0] for v in self.campaigns.values()),
                                     f - sum(v[1] for v in self.campaigns.values())]
            self.downloads[other] = d - sum(self.downloads.values())
        else:
            other = None
        self.other = other
        shown = self._in("campaign", names)

        # Per day: the shown campaigns' own, the others as the day's total less those.
        self.days = {}
        for c, d_, s_, f_ in self._rows(f"SELECT campaign, day, {_STARTS}, {_FINISHES} FROM events "
                                        f"WHERE {self.cond} AND {shown[0]} GROUP BY campaign, day", shown[1]):
            self.days[(c, str(d_))] = [s_, f_]
        self.day_downloads = {}
        for c, d_, k in self._rows(f"SELECT campaign, day, SUM(count) FROM downloads "
                                   f"WHERE {self.cond} AND {shown[0]} GROUP BY campaign, day", shown[1]):
            self.day_downloads[(c, str(d_))] = k
        if other is not None:
            mine = _sums((d_, v) for (_, d_), v in self.days.items())
            for d_, s_, f_ in self._rows(f"SELECT day, {_STARTS}, {_FINISHES} FROM events WHERE {self.cond} "
                                         f"GROUP BY day"):
                d_ = str(d_)
                rest = [s_ - mine.get(d_, (0, 0))[0], f_ - mine.get(d_, (0, 0))[1]]
                if rest != [0, 0]:
                    self.days[(other, d_)] = rest
            mine_d: dict = {}
            for (_, d_), k in self.day_downloads.items():
                mine_d[d_] = mine_d.get(d_, 0) + k
            for d_, k in self._rows(f"SELECT day, SUM(count) FROM downloads WHERE {self.cond} GROUP BY day"):
                d_ = str(d_)
                if k - mine_d.get(d_, 0):
                    self.day_downloads[(other, d_)] = k - mine_d.get(d_, 0)
        # A day with downloads and no ping still has a row.
        for key in self.day_downloads:
            self.days.setdefault(key, [0, 0])

        # Per Windows name: the TOP_WINDOWS names with most starts, the rest as one.
        wins = self._rows(f"SELECT windows, {_STARTS}, {_FINISHES} FROM events WHERE {self.cond} "
                          f"GROUP BY windows ORDER BY 2 DESC, windows LIMIT {TOP_WINDOWS + 1}")
        nw = self._one(f"SELECT COUNT(DISTINCT COALESCE(windows, '')) FROM events WHERE {self.cond}")[0]
        if nw > TOP_WINDOWS + 1:
            wins = wins[:TOP_WINDOWS]
        win_names = [w for w, _, _ in wins]
        win_other = Other(f"(other Windows: {nw - len(win_names)})", nw - len(win_names)) \
            if nw > len(win_names) else None
        known = [w for w in win_names if w is not None]
        cond_w = self._in("windows", known)
        if None in win_names:
            cond_w = (f"({cond_w[0]} OR windows IS NULL)", cond_w[1])
        self.windows = {}
        for c, w, s_, f_ in self._rows(f"SELECT campaign, windows, {_STARTS}, {_FINISHES} FROM events "
                                       f"WHERE {self.cond} AND {shown[0]} AND {cond_w[0]} "
                                       f"GROUP BY campaign, windows", shown[1] + cond_w[1]):
            self.windows[(c, w or UNKNOWN)] = [s_, f_]
        per_campaign = _sums((c, v) for (c, _), v in self.windows.items())
        per_windows = _sums((w, v) for (_, w), v in self.windows.items())
        if win_other is not None:
            for c in names:
                cs, cf = self.campaigns[c]
                ms, mf = per_campaign.get(c, (0, 0))
                if [cs - ms, cf - mf] != [0, 0]:
                    self.windows[(c, win_other)] = [cs - ms, cf - mf]
        if other is not None:
            rest_s, rest_f = self.campaigns[other]
            for w, s_, f_ in wins:
                w = w or UNKNOWN
                ms, mf = per_windows.get(w, (0, 0))
                if [s_ - ms, f_ - mf] != [0, 0]:
                    self.windows[(other, w)] = [s_ - ms, f_ - mf]
                rest_s, rest_f = rest_s - (s_ - ms), rest_f - (f_ - mf)
            if [rest_s, rest_f] != [0, 0]:
                self.windows[(other, win_other or UNKNOWN)] = [rest_s, rest_f]

        self.rejects = sorted(((r, int(n_)) for r, n_ in self._rows(
            f"SELECT reason, SUM(count) FROM rejects WHERE {self.cond} GROUP BY reason")),
            key=lambda r: (-r[1], r[0]))

    # -- reading
    def _rows(self, statement, extra=(), times=1):
        """times: how often the period's condition is in the statement."""
        return [tuple(int(v) if isinstance(v, (int, float)) or type(v).__name__ == "Decimal" else v for v in row)
                for row in self.store.select(statement, self.args * times + list(extra))]

    def _one(self, statement, times=1):
        return [v or 0 for v in self._rows(statement, times=times)[0]]

    @staticmethod
    def _in(column, values):
        if not values:
            return "1 = 0", []
        return f"{column} IN ({', '.join('?' * len(values))})", list(values)

    def every(self, statement_tail, columns):
        """All rows of a grouping, streamed (--all)."""
        yield from self.store.select(f"SELECT {columns}, {_STARTS}, {_FINISHES} FROM events "
                                     f"WHERE {self.cond} {statement_tail}", self.args, stream=True)

    def every_with_downloads(self, columns, order):
        """All rows (columns..., downloads, starts, finishes) of a grouping
        by campaign (and day), downloads included, streamed (--all)."""
        union = (f"SELECT {columns}, 0 AS d, {_STARTS} AS s, {_FINISHES} AS f FROM events WHERE {self.cond} "
                 f"GROUP BY {columns} UNION ALL SELECT {columns}, SUM(count) AS d, 0 AS s, 0 AS f "
                 f"FROM downloads WHERE {self.cond} GROUP BY {columns}")
        for row in self.store.select(f"SELECT {columns}, SUM(d), SUM(s), SUM(f) FROM ({union}) AS u "
                                     f"GROUP BY {columns} ORDER BY {order}", self.args * 2, stream=True):
            yield tuple(int(v) if type(v).__name__ == "Decimal" else v for v in row)

    # -- what is shown
    def order(self):
        """Campaigns, most starts first; the other campaigns last."""
        return sorted(self.campaigns, key=lambda c: (isinstance(c, Other), -self.campaigns[c][0],
                                                     -self.downloads.get(c, 0), c))

    def note(self, starts: int, label="") -> str:
        if isinstance(label, Other):
            return f"{label.count} together"
        if starts == 0:
            return "no starts"
        return f"too few starts (< {self.min_starts})" if starts < self.min_starts else ""

    def day_span(self) -> list[str]:
        days = sorted({d for _, d in self.days})
        if not days:
            return []
        first = date.fromisoformat(max(self.first, days[0]) if self.first else days[0])
        last = date.fromisoformat(min(self.last, days[-1]) if self.last else days[-1])
        first = max(first, last - timedelta(PLOT_DAYS - 1))
        return [(first + timedelta(n)).isoformat() for n in range((last - first).days + 1)]


def _sums(pairs) -> dict:
    out: dict = {}
    for key, (s, f) in pairs:
        a = out.setdefault(key, [0, 0])
        a[0] += s
        a[1] += f
    return out


def rate_value(starts: int, finishes: int) -> str:
    return f"{finishes / starts:.4f}" if starts else ""


def rate_text(starts: int, finishes: int) -> str:
    return f"{100 * finishes / starts:.1f} %" if starts else "–"


def start_rate(downloads: int, starts: int) -> str:
    # Above 100 % where users start a copy more than once, or got it
    # elsewhere than from the download route.
    return rate_text(downloads, starts)


# -- CSV

_FORMULA = re.compile(r"[\s]*[=+\-@]|[\t\r\n]")


def _cell(value):
    # A campaign is whatever a client sent: keep a spreadsheet from reading
    # it as a formula, also behind blanks.
    if isinstance(value, str) and _FORMULA.match(value):
        return "'" + value
    return value


def _writer(f):
    out = csv.writer(f)
    return lambda row: out.writerow([_cell(v) for v in row])


def _campaign_rows(funnel, every):
    if every:
        for c, d, s, f in funnel.every_with_downloads("campaign", "3 DESC, 2 DESC, campaign"):
            yield c, d, s, f, rate_value(s, f), funnel.note(s)
        return
    for c in funnel.order():
        s, f = funnel.campaigns[c]
        yield c, funnel.downloads.get(c, 0), s, f, rate_value(s, f), funnel.note(s, c)


def write_campaigns(funnel, f, every=False) -> None:
    """The per-campaign CSV (the report on standard output): downloads are
    the copies the collector's download route handed out, starts and
    finishes the pings, rate still finishes / starts."""
    row = _writer(f)
    row(["campaign", "downloads", "starts", "finishes", "rate", "note"])
    for r in _campaign_rows(funnel, every):
        row(r)


def write_csv(funnel: Funnel, path: str, every: bool = False) -> list[str]:
    """FILE.csv per campaign, FILE.days.csv and FILE.windows.csv beside it."""
    stem = path[:-4] if path.lower().endswith(".csv") else path
    files = [path, stem + ".days.csv", stem + ".windows.csv"]
    with open(files[0], "w", newline="", encoding="utf-8") as f:
        write_campaigns(funnel, f, every)
    with open(files[1], "w", newline="", encoding="utf-8") as f:
        row = _writer(f)
        row(["campaign", "day", "downloads", "starts", "finishes", "rate", "note"])
        if every:
            for c, d, dl, s, fi in funnel.every_with_downloads("campaign, day", "campaign, day"):
                row([c, str(d), dl, s, fi, rate_value(s, fi), funnel.note(s)])
        else:
            for (c, d), (s, fi) in sorted(funnel.days.items(), key=lambda i: (isinstance(i[0][0], Other), i[0])):
                row([c, d, funnel.day_downloads.get((c, d), 0), s, fi, rate_value(s, fi), funnel.note(s, c)])
    with open(files[2], "w", newline="", encoding="utf-8") as f:
        row = _writer(f)
        row(["campaign", "windows", "starts", "finishes", "rate", "note"])
        if every:
            for c, w, s, fi in funnel.every("GROUP BY campaign, windows ORDER BY campaign, 3 DESC, windows",
                                            "campaign, windows"):
                row([c, w or UNKNOWN, s, fi, rate_value(s, fi), funnel.note(s)])
        else:
            for (c, w), (s, fi) in _windows_order(funnel):
                row([c, w, s, fi, rate_value(s, fi), funnel.note(s, c)])
    return files


def _windows_order(funnel):
    return sorted(funnel.windows.items(),
                  key=lambda i: (isinstance(i[0][0], Other), i[0][0], isinstance(i[0][1], Other), -i[1][0], i[0][1]))


# -- HTML

def _e(text) -> str:
    return html.escape(str(text), quote=True)


def _name(campaign: str) -> str:
    if isinstance(campaign, Other):
        return f"<i>{_e(campaign)}</i>"
    return _e(campaign) if campaign != "" else "<i>(empty)</i>"


def _table(ident, header, rows, funnel, numeric_from):
    """Columns numeric_from up to the last but one are figures."""
    out = [f'<table id="{ident}"><thead><tr>' + "".join(f"<th>{_e(h)}</th>" for h in header)
           + "</tr></thead><tbody>"]
    for row, starts, label in rows:
        kind = ' class="other"' if isinstance(label, Other) else ' class="few"' if funnel.note(starts) else ""
        cells = "".join(f'<td class="n">{v}</td>' if numeric_from <= i < len(row) - 1 else f"<td>{v}</td>"
                        for i, v in enumerate(row))
        out.append(f"<tr{kind}>{cells}</tr>")
    out.append("</tbody></table>")
    return "\n".join(out)


def _nice_step(top: int) -> int:
    step = 1
    while True:
        for m in (1, 2, 5):
            if top / (step * m) <= 6:
                return step * m
        step *= 10


def plot_svg(funnel: Funnel) -> str:
    """Downloads (dotted), starts (solid) and finishes (dashed) per day, one
    colour per campaign."""
    days = funnel.day_span()
    width, height, left, right, top, bottom = 960, 360, 64, 200, 16, 48
    w, h = width - left - right, height - top - bottom
    order = funnel.order()
    shown, rest = order[:PLOTTED], order[PLOTTED:]
    if len(rest) == 1:
        shown, rest = order, []
    series = []
    index = {d: i for i, d in enumerate(days)}
    for n, campaign in enumerate(shown + (["(other campaigns)"] if rest else [])):
        members = [campaign] if n < len(shown) else rest
        values = [[0] * len(days), [0] * len(days), [0] * len(days)]
        for c in members:
            for d in days:
                s, f = funnel.days.get((c, d), (0, 0))
                values[0][index[d]] += s
                values[1][index[d]] += f
                values[2][index[d]] += funnel.day_downloads.get((c, d), 0)
        count = sum(m.count if isinstance(m, Other) else 1 for m in rest)
        label = campaign if n < len(shown) else f"(other campaigns: {count})"
        series.append((label, COLOURS[n % len(COLOURS)], values))
    peak = max([1] + [v for _, _, vs in series for line in vs for v in line])
    step = _nice_step(peak)
    ymax = -(-peak // step) * step
    x = (lambda i: left + (w * i / (len(days) - 1) if len(days) > 1 else w / 2))
    y = (lambda v: top + h - h * v / ymax)
    parts = [f'<svg id="plot" xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
             f'viewBox="0 0 {width} {height}" role="img" aria-label="starts and finishes per day">',
             f'<rect x="{left}" y="{top}" width="{w}" height="{h}" fill="#fff" stroke="#999"/>']
    for v in range(0, ymax + 1, step):
        parts.append(f'<line x1="{left}" x2="{left + w}" y1="{y(v):.1f}" y2="{y(v):.1f}" stroke="#e4e4e4"/>'
                     f'<text x="{left - 6}" y="{y(v) + 4:.1f}" text-anchor="end">{v}</text>')
    label_every = max(1, -(-len(days) // 10))
    for i, d in enumerate(days):
        if i % label_every == 0 or i == len(days) - 1 and len(days) <= 10:
            parts.append(f'<text x="{x(i):.1f}" y="{top + h + 18}" text-anchor="middle">{_e(d[5:])}</text>')
    if days:
        parts.append(f'<text x="{left + w / 2:.1f}" y="{height - 8}" text-anchor="middle">'
                     f'day (UTC), {_e(days[0])} to {_e(days[-1])}</text>')
    marks = len(days) <= 62
    for label, colour, (starts, finishes, downloads) in series:
        lines = [(starts, ""), (finishes, ' stroke-dasharray="6 4"')]
        if funnel.total_downloads:
            lines.append((downloads, ' stroke-dasharray="2 3"'))
        for values, dash in lines:
            points = " ".join(f"{x(i):.1f},{y(v):.1f}" for i, v in enumerate(values))
            parts.append(f'<polyline class="series" points="{points}" fill="none" stroke="{colour}" '
                         f'stroke-width="2"{dash}><title>{_e(label)}</title></polyline>')
            if marks:
                parts.extend(f'<circle cx="{x(i):.1f}" cy="{y(v):.1f}" r="3" fill="{colour}"/>'
                             for i, v in enumerate(values))
    ly = top + 8
    for label, colour, _ in series:
        parts.append(f'<rect x="{left + w + 16}" y="{ly}" width="14" height="14" fill="{colour}"/>'
                     f'<text x="{left + w + 36}" y="{ly + 12}">{_e(label[:24])}</text>')
        ly += 22
    parts.append(f'<line x1="{left + w + 16}" x2="{left + w + 46}" y1="{ly + 10}" y2="{ly + 10}" '
                 f'stroke="#333" stroke-width="2"/><text x="{left + w + 52}" y="{ly + 14}">starts</text>')
    parts.append(f'<line x1="{left + w + 16}" x2="{left + w + 46}" y1="{ly + 30}" y2="{ly + 30}" '
                 f'stroke="#333" stroke-width="2" stroke-dasharray="6 4"/>'
                 f'<text x="{left + w + 52}" y="{ly + 34}">finishes</text>')
    if funnel.total_downloads:
        parts.append(f'<line x1="{left + w + 16}" x2="{left + w + 46}" y1="{ly + 50}" y2="{ly + 50}" '
                     f'stroke="#333" stroke-width="2" stroke-dasharray="2 3"/>'
                     f'<text x="{left + w + 52}" y="{ly + 54}">downloads</text>')
    parts.append("</svg>")
    return "\n".join(parts)


# Names are whatever clients sent: a long one breaks anywhere rather than
# widening its table past the page.
STYLE = """body{font:14px/1.4 "DejaVu Sans",sans-serif;margin:24px;color:#222}
h1{font-size:22px;margin:0 0 4px}h2{font-size:17px;margin:28px 0 8px}
table{border-collapse:collapse;margin:4px 0;max-width:100%}th,td{border:1px solid #ccc;padding:3px 10px}
td{overflow-wrap:anywhere}td:first-child{max-width:32em}
th{background:#f0f0f0;text-align:left}td.n{text-align:right;font-variant-numeric:tabular-nums;white-space:nowrap}
tr.few td{color:#888;font-style:italic}tr.other td{background:#f7f7f7}
svg text{font:12px "DejaVu Sans",sans-serif;fill:#333}p.meta{color:#555;margin:0}"""


def write_html(funnel: Funnel, path: str, source: str) -> None:
    if funnel.first or funnel.last:
        period = f"days {funnel.first or 'from the first'} to {funnel.last or 'the last'}"
    else:
        period = "all days"
    made = datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    s, f = funnel.total
    campaigns = [((_name(c), cd, cs, cf, start_rate(cd, cs), rate_text(cs, cf), _e(funnel.note(cs, c))), cs, c)
                 for c in funnel.order() for cs, cf in [funnel.campaigns[c]] for cd in [funnel.downloads.get(c, 0)]]
    by_day = [((_name(c), _e(d), dd, ds, df, start_rate(dd, ds), rate_text(ds, df), _e(funnel.note(ds, c))), ds, c)
              for (c, d), (ds, df) in sorted(funnel.days.items(), key=lambda i: (isinstance(i[0][0], Other), i[0]))
              for dd in [funnel.day_downloads.get((c, d), 0)]]
    by_windows = [((_name(c), _name(wn), ws, wf, rate_text(ws, wf), _e(funnel.note(ws, c))), ws, c)
                  for (c, wn), (ws, wf) in _windows_order(funnel)]
    rejected = sum(n for _, n in funnel.rejects)
    shown_note = ""
    if funnel.other is not None:
        shown_note = (f' The tables show the {len(funnel.campaigns) - 1} campaigns with most starts and the '
                      f'{funnel.other.count} others as one row; <code>--csv FILE --all</code> lists every one.')
    body = ["<h1>Install funnel</h1>",
            f'<p class="meta">{_e(period.capitalize())} (UTC); {_e(source)}; made {made}.</p>',
            f'<p class="meta" id="totals">All campaigns: <b>{funnel.total_downloads}</b> downloads, '
            f'<b>{s}</b> starts, <b>{f}</b> finishes, rate {rate_text(s, f)}; {rejected} requests rejected. '
            f'Downloads are the copies the download route handed out; starts per download can pass 100 % '
            f'where a copy is started twice or came from elsewhere. Rates of campaigns with fewer '
            f'than {funnel.min_starts} starts are greyed: too few to mean much.{shown_note}</p>',
            "<h2>Downloads, starts and finishes per day</h2>", plot_svg(funnel),
            "<h2>Per campaign</h2>",
            _table("campaigns", ["campaign", "downloads", "starts", "finishes", "starts per download", "rate",
                                 "note"], campaigns, funnel, 1),
            "<h2>Per campaign and day</h2>",
            _table("days", ["campaign", "day", "downloads", "starts", "finishes", "starts per download", "rate",
                            "note"], by_day, funnel, 2),
            "<h2>Per campaign and Windows version</h2>",
            _table("windows", ["campaign", "Windows", "starts", "finishes", "rate", "note"],
                   by_windows, funnel, 2)]
    if funnel.rejects:
        rows = "".join(f'<tr><td>{_e(r)}</td><td class="n">{n}</td></tr>' for r, n in funnel.rejects)
        body += ["<h2>Rejected requests</h2>",
                 f'<table id="rejects"><thead><tr><th>reason</th><th>count</th></tr></thead>'
                 f"<tbody>{rows}</tbody></table>"]
    page = ('<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
            f"<title>Install funnel, {_e(period)}</title><style>{STYLE}</style></head><body>\n"
            + "\n".join(body) + "\n</body></html>\n")
    with open(path, "w", encoding="utf-8") as out:
        out.write(page)
