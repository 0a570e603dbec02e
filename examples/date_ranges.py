"""Date and time ranges: dates, datetimes and timedeltas are ordered values.

A `date`, `datetime` (naive or timezone-aware), naive `time` or `timedelta`
attribute is matched by `eq`, `in_` and keyword lookups and ordered by
`lt`/`le`/`gt`/`ge`/`bt`, as Python compares them: aware datetimes by
instant, a `date` never equals a `datetime`, and a naive datetime never
meets an aware one. `bt` includes both bounds. Each value reads back as the
very object stored.
"""
from datetime import date, datetime, timedelta, timezone

from Zarvex import Index, Indexable, PyQueryExpr as Q


class Booking(Indexable):
    pass


start = datetime(2024, 3, 1, 9, 0, tzinfo=timezone.utc)
bookings: list[Booking] = []
for i in range(60):  # one booking every 13 hours from 1 March 2024
    t = start + timedelta(hours=13 * i)
    bookings.append(Booking(
        room=("blue", "green", "red")[i % 3],
        at=t,
        day=t.date(),
        length=timedelta(minutes=30 * (1 + i % 4)),
    ))

index = Index()
index.add_object_many(bookings)

# Exact lookups: a datetime by its instant (another time zone, same moment).
first = bookings[0]
same_moment = first.at.astimezone(timezone(timedelta(hours=2)))
assert index.get_by_attribute(at=same_moment) == [first]
assert index.reduced_query(Q.eq("at", first.at)).collect() == [first]
assert index.reduced_query(Q.eq("at", first.at.replace(tzinfo=None))).collect() == []  # naive never meets aware
assert first.at is index.collect()[0].at  # the stored object itself

# Every booking on one calendar day.
march_5 = date(2024, 3, 5)
on_march_5 = index.get_by_attribute(day=march_5)
assert set(map(id, on_march_5)) == {id(b) for b in bookings if b.day == march_5}
print("bookings on %s: %s" % (march_5, [b.at.strftime("%H:%M") for b in sorted(on_march_5, key=lambda b: b.at)]))

# A range of days, both ends included.
first_week = index.reduced_query(Q.bt("day", date(2024, 3, 1), date(2024, 3, 7)))
assert len(first_week.collect()) == sum(1 for b in bookings if b.day <= date(2024, 3, 7))
print("bookings from 1 to 7 March:", len(first_week.collect()))

# A half-open window of time [from, to), combined with an exact value and a
# duration.
window_from = datetime(2024, 3, 10, tzinfo=timezone.utc)
window_to = window_from + timedelta(days=2)
long_blue = index.reduced_query(Q.and_(
    Q.ge("at", window_from), Q.lt("at", window_to), Q.eq("room", "blue"),
    Q.ge("length", timedelta(hours=1))))
expected = [b for b in bookings
            if window_from <= b.at < window_to and b.room == "blue" and b.length >= timedelta(hours=1)]
assert set(map(id, long_blue.collect())) == set(map(id, expected))
print("long blue bookings, 10-11 March:", [b.at.isoformat() for b in sorted(long_blue.collect(), key=lambda b: b.at)])

# Moving a booking updates the index.
moved = bookings[20]
moved.at = moved.at + timedelta(days=30)
moved.day = moved.at.date()
assert moved in index.reduced_query(Q.gt("at", datetime(2024, 4, 1, tzinfo=timezone.utc))).collect()
print("moved one booking to", moved.day)

# Per-day counts: group keys are dates.
per_day = {k: len(v.collect()) for k, v in index.group_by("day").items()}
assert all(type(k) is date for k in per_day) and sum(per_day.values()) == len(bookings)
print("busiest day:", max(per_day.items(), key=lambda kv: (kv[1], kv[0])))
