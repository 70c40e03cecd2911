"""Windows' paper size and paper source codes, by name.

Printers report the paper in a bin by its Windows paper code (1 Letter,
9 A4, 11 A5, ...) and its source by its Windows bin code; sizes come in
tenths of a millimetre, the Windows convention. A code without a name here
is shown as its number.
"""

PAPER_SIZES = {
    1: "Letter", 2: "Letter Small", 3: "Tabloid", 4: "Ledger", 5: "Legal", 6: "Statement",
    7: "Executive", 8: "A3", 9: "A4", 10: "A4 Small", 11: "A5", 12: "B4 (JIS)", 13: "B5 (JIS)",
    14: "Folio", 15: "Quarto", 16: "10 x 14 in", 17: "11 x 17 in", 18: "Note",
    19: "Envelope #9", 20: "Envelope #10", 21: "Envelope #11", 22: "Envelope #12",
    23: "Envelope #14", 24: "C sheet", 25: "D sheet", 26: "E sheet", 27: "Envelope DL",
    28: "Envelope C5", 29: "Envelope C3", 30: "Envelope C4", 31: "Envelope C6",
    32: "Envelope C65", 33: "Envelope B4", 34: "Envelope B5", 35: "Envelope B6",
    36: "Envelope Italy", 37: "Envelope Monarch", 38: "Envelope 6 3/4", 39: "US Std Fanfold",
    40: "German Std Fanfold", 41: "German Legal Fanfold", 42: "B4 (ISO)",
    43: "Japanese Postcard", 44: "9 x 11 in", 45: "10 x 11 in", 46: "15 x 11 in",
    47: "Envelope Invite", 50: "Letter Extra", 51: "Legal Extra", 52: "Tabloid Extra",
    53: "A4 Extra", 54: "Letter Transverse", 55: "A4 Transverse", 57: "Super A", 58: "Super B",
    59: "Letter Plus", 60: "A4 Plus", 61: "A5 Transverse", 62: "B5 (JIS) Transverse",
    63: "A3 Extra", 64: "A5 Extra", 65: "B5 (ISO) Extra", 66: "A2", 67: "A3 Transverse",
    70: "A6", 71: "Envelope Kaku #2", 72: "Envelope Kaku #3", 73: "Envelope Chou #3",
    74: "Envelope Chou #4", 88: "B6 (JIS)",
}

PAPER_SOURCES = {
    1: "Upper", 2: "Lower", 3: "Middle", 4: "Manual", 5: "Envelope", 6: "Envelope manual",
    7: "Automatic", 8: "Tractor", 9: "Small format", 10: "Large format", 11: "Large capacity",
    14: "Cassette", 15: "Form source",
}


def paper_size_name(code):
    """The name of a paper size code, or its number."""
    return PAPER_SIZES.get(code, str(code))


def paper_source_name(code):
    """The name of a paper source code, or its number."""
    return PAPER_SOURCES.get(code, str(code))


def millimetres(tenths):
    """A length in tenths of a millimetre as millimetres ("210.0")."""
    return "%.1f" % (tenths / 10)
