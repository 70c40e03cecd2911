"""How the report writes its figures: times in µs (ms from 10 ms up), rates
per second, memory in KiB. The raw data keep µs, calls per second and bytes."""


def fmt_us(value):
    """A time in µs, or in ms once it has five digits."""
    if value is None:
        return "n/a"
    if abs(value) >= 10000:
        return "%.1f ms" % (value / 1000)
    return "%.0f µs" % value


def fmt_signed_us(value):
    """A difference of times, with its sign (a minus sign, not a hyphen)."""
    return ("+" if value >= 0 else "−") + fmt_us(abs(value))


def fmt_rate(value):
    """Calls or messages per second."""
    return "n/a" if value is None else "%.0f/s" % value


def kib(value):
    """Bytes as KiB."""
    return "n/a" if value is None else "%.0f KiB" % (value / 1024)


def verdict(ok):
    """The verdict cell of a target."""
    return "**met**" if ok else "**missed**"
