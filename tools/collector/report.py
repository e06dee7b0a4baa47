"""tools/events report: the funnel per campaign (starts, finishes, the rate),
by day and by Windows name, as one self-contained HTML page with an inline
SVG plot, and as CSV.

A start is a mode 1 ping, a finish a mode 0 ping (sent once the setup has
been started); the rate is finishes / starts over the same days.
"""

import csv
import html
from collections import defaultdict
from datetime import date, datetime, timedelta, timezone

PLOTTED = 6  # campaigns drawn one by one; the rest are drawn as one line
COLOURS = ["#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#17becf", "#8c564b", "#e377c2", "#7f7f7f"]
UNKNOWN = "(unknown)"


class Funnel:
    """Counts of one period, grouped three ways; the numbers the page and
    the CSV show, taken from the database's counts only."""

    def __init__(self, counts, rejects, first=None, last=None, min_starts=30):
        self.first, self.last, self.min_starts = first, last, min_starts
        self.campaigns = defaultdict(lambda: [0, 0])
        self.days = defaultdict(lambda: [0, 0])
        self.windows = defaultdict(lambda: [0, 0])
        self.total = [0, 0]
        for campaign, day, windows, mode, n in counts:
            slot = 0 if mode == 1 else 1
            self.campaigns[campaign][slot] += n
            self.days[(campaign, day)][slot] += n
            self.windows[(campaign, windows or UNKNOWN)][slot] += n
            self.total[slot] += n
        self.rejects = sorted(rejects, key=lambda r: (-r[1], r[0]))

    def order(self):
        """Campaigns, most starts first."""
        return sorted(self.campaigns, key=lambda c: (-self.campaigns[c][0], c))

    def note(self, starts: int) -> str:
        if starts == 0:
            return "no starts"
        return f"too few starts (< {self.min_starts})" if starts < self.min_starts else ""

    def day_span(self) -> list[str]:
        days = sorted({d for _, d in self.days})
        if not days:
            return []
        first = date.fromisoformat(max(self.first, days[0]) if self.first else days[0])
        last = date.fromisoformat(min(self.last, days[-1]) if self.last else days[-1])
        return [(first + timedelta(n)).isoformat() for n in range((last - first).days + 1)]


def rate_value(starts: int, finishes: int) -> str:
    return f"{finishes / starts:.4f}" if starts else ""


def rate_text(starts: int, finishes: int) -> str:
    return f"{100 * finishes / starts:.1f} %" if starts else "–"


# -- CSV

def _cell(value):
    # A campaign is whatever a client sent: keep a spreadsheet from reading
    # it as a formula.
    if isinstance(value, str) and value[:1] in ("=", "+", "-", "@", "\t", "\r"):
        return "'" + value
    return value


def _write(path, header, rows):
    with open(path, "w", newline="", encoding="utf-8") as f:
        out = csv.writer(f)
        out.writerow(header)
        for row in rows:
            out.writerow([_cell(v) for v in row])


def write_csv(funnel: Funnel, path: str) -> list[str]:
    """FILE.csv per campaign, FILE.days.csv and FILE.windows.csv beside it."""
    stem = path[:-4] if path.lower().endswith(".csv") else path
    files = [path, stem + ".days.csv", stem + ".windows.csv"]
    _write(files[0], ["campaign", "starts", "finishes", "rate", "note"],
           [(c, s, f, rate_value(s, f), funnel.note(s))
            for c in funnel.order() for s, f in [funnel.campaigns[c]]])
    _write(files[1], ["campaign", "day", "starts", "finishes", "rate", "note"],
           [(c, d, s, f, rate_value(s, f), funnel.note(s))
            for (c, d), (s, f) in sorted(funnel.days.items())])
    _write(files[2], ["campaign", "windows", "starts", "finishes", "rate", "note"],
           [(c, w, s, f, rate_value(s, f), funnel.note(s))
            for (c, w), (s, f) in sorted(funnel.windows.items(), key=lambda i: (i[0][0], -i[1][0], i[0][1]))])
    return files


# -- HTML

def _e(text) -> str:
    return html.escape(str(text), quote=True)


def _name(campaign: str) -> str:
    return _e(campaign) if campaign != "" else "<i>(empty)</i>"


def _table(ident, header, rows, funnel, numeric_from):
    """Columns numeric_from up to the last but one are figures."""
    out = [f'<table id="{ident}"><thead><tr>' + "".join(f"<th>{_e(h)}</th>" for h in header)
           + "</tr></thead><tbody>"]
    for row, starts in rows:
        few = ' class="few"' if funnel.note(starts) else ""
        cells = "".join(f'<td class="n">{v}</td>' if numeric_from <= i < len(row) - 1 else f"<td>{v}</td>"
                        for i, v in enumerate(row))
        out.append(f"<tr{few}>{cells}</tr>")
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
    """Starts (solid) and finishes (dashed) per day, one colour per campaign."""
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
        values = [[0] * len(days), [0] * len(days)]
        for c in members:
            for d in days:
                s, f = funnel.days.get((c, d), (0, 0))
                values[0][index[d]] += s
                values[1][index[d]] += f
        label = campaign if n < len(shown) else f"(other campaigns: {len(rest)})"
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
    for label, colour, (starts, finishes) in series:
        for values, dash in ((starts, ""), (finishes, ' stroke-dasharray="6 4"')):
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
    parts.append("</svg>")
    return "\n".join(parts)


STYLE = """body{font:14px/1.4 "DejaVu Sans",sans-serif;margin:24px;color:#222}
h1{font-size:22px;margin:0 0 4px}h2{font-size:17px;margin:28px 0 8px}
table{border-collapse:collapse;margin:4px 0}th,td{border:1px solid #ccc;padding:3px 10px}
th{background:#f0f0f0;text-align:left}td.n{text-align:right;font-variant-numeric:tabular-nums}
tr.few td{color:#888;font-style:italic}svg text{font:12px "DejaVu Sans",sans-serif;fill:#333}
p.meta{color:#555;margin:0}"""


def write_html(funnel: Funnel, path: str, source: str) -> None:
    if funnel.first or funnel.last:
        period = f"days {funnel.first or 'from the first'} to {funnel.last or 'the last'}"
    else:
        period = "all days"
    made = datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    s, f = funnel.total
    campaigns = [((_name(c), cs, cf, rate_text(cs, cf), funnel.note(cs)), cs)
                 for c in funnel.order() for cs, cf in [funnel.campaigns[c]]]
    by_day = [((_name(c), _e(d), ds, df, rate_text(ds, df), funnel.note(ds)), ds)
              for (c, d), (ds, df) in sorted(funnel.days.items())]
    by_windows = [((_name(c), _e(wn), ws, wf, rate_text(ws, wf), funnel.note(ws)), ws)
                  for (c, wn), (ws, wf) in sorted(funnel.windows.items(),
                                                   key=lambda i: (i[0][0], -i[1][0], i[0][1]))]
    rejected = sum(n for _, n in funnel.rejects)
    body = ["<h1>Install funnel</h1>",
            f'<p class="meta">{_e(period.capitalize())} (UTC); {_e(source)}; made {made}.</p>',
            f'<p class="meta" id="totals">All campaigns: <b>{s}</b> starts, <b>{f}</b> finishes, '
            f'rate {rate_text(s, f)}; {rejected} requests rejected. Rates of campaigns with fewer '
            f'than {funnel.min_starts} starts are greyed: too few to mean much.</p>',
            "<h2>Starts and finishes per day</h2>", plot_svg(funnel),
            "<h2>Per campaign</h2>",
            _table("campaigns", ["campaign", "starts", "finishes", "rate", "note"], campaigns, funnel, 1),
            "<h2>Per campaign and day</h2>",
            _table("days", ["campaign", "day", "starts", "finishes", "rate", "note"], by_day, funnel, 2),
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
