"""Made-up pings with a plausible funnel, for the bench and the README's
picture: campaigns of different sizes and completion rates over some weeks,
worse on old Windows. Seeded, so every run makes the same pings.
"""

import random
from datetime import date, timedelta

CAMPAIGNS = [("default", 0.82, 9), ("spring", 0.78, 7), ("partner-a", 0.64, 5), ("partner-b", 0.55, 4),
             ("newsletter", 0.86, 3), ("banner-de", 0.71, 2), ("banner-fr", 0.69, 2), ("search", 0.80, 2),
             ("retarget", 0.74, 1), ("trial", 0.9, 0.3), ("forum", 0.6, 0.02)]
WINDOWS = [("Windows XP", 1.0, 40), ("Windows 2000", 0.97, 20), ("Windows 98", 0.85, 15),
           ("Windows ME", 0.8, 8), ("Windows 2003 Server", 0.98, 7), ("Windows NT 4.0", 0.75, 5),
           ("Windows 95", 0.7, 5)]


def rows(count: int, last_day: date = date(2026, 11, 30), days: int = 42, product: str = "QRBL7300"):
    """About count rows as the store takes them (starts and their finishes)."""
    rng = random.Random(7300)
    weights = [w for _, _, w in CAMPAIGNS]
    oses = [o for o in WINDOWS]
    os_weights = [w for _, _, w in WINDOWS]
    made = 0
    while made < count:
        campaign, rate, _ = rng.choices(CAMPAIGNS, weights)[0]
        windows, factor, _ = rng.choices(oses, os_weights)[0]
        age = min(int(rng.expovariate(1 / 14)), days - 1)
        day = last_day - timedelta(days=age)
        when = f"{day.isoformat()} {rng.randrange(24):02d}:{rng.randrange(60):02d}:{rng.randrange(60):02d}.000000"
        agent = f"{product} ({windows})"
        client = f"{rng.getrandbits(128):032x}"
        yield (when, day.isoformat(), campaign, 1, product, windows, agent, client, None)
        made += 1
        # A weekend dip in completions makes the plot say something.
        weekend = 0.93 if day.weekday() >= 5 else 1.0
        if made < count and rng.random() < rate * factor * weekend:
            yield (when, day.isoformat(), campaign, 0, product, windows, agent, client, None)
            made += 1
