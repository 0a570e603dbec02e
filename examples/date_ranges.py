"""Date and time ranges: store moments as numbers, query them with ranges.

A `date` or `datetime` attribute is stored and reads back as the same object,
but it has no native form in Zarvex, so no lookup or range query ever
matches it. Keep a number beside it (or instead of it) and query that:
- a day as `date.toordinal()` (an int: one per calendar day);
- a moment as a POSIX timestamp (`datetime.timestamp()`, a float in
  seconds; use timezone-aware datetimes so it means one instant).
Integers and floats compare by numeric value in expression queries, and
`bt` includes both bounds.
"""
from datetime import date, datetime, timedelta, timezone

from Zarvex import Index, Indexable, PyQueryExpr as Q


class Booking(Indexable):
    pass


def day_number(d: date) -> int:
    return d.toordinal()


def instant(t: datetime) -> float:
    return t.timestamp()


start = datetime(2024, 3, 1, 9, 0, tzinfo=timezone.utc)
bookings = []
for i in range(60):  # one booking every 13 hours from 1 March 2024
    t = start + timedelta(hours=13 * i)
    bookings.append(Booking(
        room=("blue", "green", "red")[i % 3],
        at=t,                    # kept for reading back; never matched
        day=day_number(t.date()),
        ts=instant(t),
    ))

index = Index()
index.add_object_many(bookings)

# A date itself is stored but not matchable: both lookups find nothing.
march_5 = date(2024, 3, 5)
assert index.get_by_attribute(at=bookings[0].at) == []
assert index.reduced_query(Q.eq("at", bookings[0].at)).collect() == []
assert bookings[0].at is bookings[0].at and isinstance(bookings[0].at, datetime)

# Every booking on one calendar day: the day number is an exact integer.
on_march_5 = index.reduced_query(Q.eq("day", day_number(march_5))).collect()
assert sorted(b.at for b in on_march_5) == sorted(b.at for b in bookings if b.at.date() == march_5)
print("bookings on %s: %s" % (march_5, [b.at.strftime("%H:%M") for b in sorted(on_march_5, key=lambda b: b.ts)]))

# A range of days, both ends included.
first_week = index.reduced_query(Q.bt("day", day_number(date(2024, 3, 1)), day_number(date(2024, 3, 7))))
assert len(first_week.collect()) == sum(1 for b in bookings if b.at.date() <= date(2024, 3, 7))
print("bookings from 1 to 7 March:", len(first_week.collect()))

# A window of time to the second, combined with an exact value. `lt` keeps
# the end of the window out, as a half-open interval [from, to).
window_from = datetime(2024, 3, 10, 0, 0, tzinfo=timezone.utc)
window_to = window_from + timedelta(days=2)
blue_in_window = index.reduced_query(Q.and_(
    Q.ge("ts", instant(window_from)), Q.lt("ts", instant(window_to)), Q.eq("room", "blue")))
expected = [b for b in bookings if window_from <= b.at < window_to and b.room == "blue"]
assert set(map(id, blue_in_window.collect())) == set(map(id, expected))
print("blue room, 10-11 March:", [b.at.isoformat() for b in sorted(blue_in_window.collect(), key=lambda b: b.ts)])

# Moving a booking updates the index: write the number with the date.
moved = expected[0]
new_time = moved.at + timedelta(days=30)
moved.at, moved.day, moved.ts = new_time, day_number(new_time.date()), instant(new_time)
assert moved not in index.reduced_query(Q.and_(
    Q.ge("ts", instant(window_from)), Q.lt("ts", instant(window_to)))).collect()
print("moved one booking to", new_time.date())

# Per-day counts: group_by on the day number. Number keys come back as
# floats (a float holds every day number exactly): int() them, then dates.
per_day = {date.fromordinal(int(k)): len(v.collect()) for k, v in index.group_by("day").items()}
assert sum(per_day.values()) == len(bookings)
print("busiest day:", max(per_day.items(), key=lambda kv: (kv[1], kv[0])))
