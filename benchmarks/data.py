"""Seeded generators of bank-statement data for the benchmark, in two shapes.

Narrations look like the lines of an Indian or European bank statement: a
channel prefix (UPI/, POS , NEFT-, ACH D-), reference numbers, a merchant or a
person, and sometimes a city or a UPI handle. They are 20 to 80 UTF-8 bytes
long, and about 5 % hold non-ASCII letters. Rule patterns are merchant-like
words of 4 to 14 bytes, about 10 % of them two words and a few non-ASCII.

The short shape (make_narrations, make_labelled) is terse: a mean of about 35
bytes and 4 tokens a narration, 112,000 distinct tokens in 100,000 labelled
items. The long shape (make_long_narrations, make_long_labelled) spells out
what a statement carries, as full exports do: direction and sub-channel codes,
the bank, the payer's handle, a note, a date, a second reference; a mean of
about 54 bytes and 8 tokens, 156,000 distinct tokens in 100,000 labelled items.
"""
import json
import random

SEED = 20261209

_SYLLABLES = ["ka", "ri", "mo", "ta", "zen", "vel", "pur", "shi", "an", "dor", "lu", "mi", "ra", "so", "ne",
              "bi", "go", "tri", "vo", "sa", "ku", "len", "mar", "jo", "fi", "nu", "ko", "pa", "ve", "dha"]
_SUFFIXES = ["", "", "", "", "mart", "pay", "hub", "kart", "fresh", "foods", "care", "tech", "go"]
# Merchant words with letters outside ASCII; each keeps its form through
# upper- and lower-casing, so a narration that carries it upper-cased matches.
_ACCENTED = ["café", "crêpe", "müller", "bäcker", "señor", "köln", "délice", "größe", "même", "çiçek"]
_GREEK = ["ταβέρνα", "γύρος", "φούρνος", "καφενείο", "ψητός", "ζαχαρη"]
CATEGORIES = ["Food & Drink", "Groceries", "Travel", "Fuel", "Bills", "Shopping", "Health", "Entertainment",
              "Education", "Rent", "Insurance", "Transfers"]
_CITIES = ["MUMBAI", "DELHI", "PUNE", "BENGALURU", "CHENNAI", "KOLKATA", "HYDERABAD", "JAIPUR", "BERLIN",
           "PARIS", "LONDON", "DUBAI", "SINGAPORE"]
_CITIES_NON_ASCII = ["MÜNCHEN", "ZÜRICH", "KÖLN", "MÁLAGA", "ΑΘΗΝΑ"]
_BANKS = ["okaxis", "okhdfcbank", "oksbi", "ybl", "paytm", "ibl", "axl", "upi"]
_GIVEN = ["RAHUL", "PRIYA", "AMIT", "SNEHA", "VIKRAM", "ANITA", "KIRAN", "DEEPAK", "MEERA", "ARJUN", "NEHA",
          "SURESH", "POOJA", "RAVI", "LAKSHMI"]
_FAMILY = ["SHARMA", "PATEL", "IYER", "REDDY", "GUPTA", "NAIR", "SINGH", "KUMAR", "RAO", "JOSHI", "MEHTA",
           "DAS", "KAPOOR", "VERMA", "PILLAI"]
_PEOPLE_NON_ASCII = ["JOSÉ GARCÍA", "RENÉ DUBOIS", "JÜRGEN WEIß", "ΝΙΚΟΣ", "FRANÇOIS", "ZOË"]
_NOTES = ["PAYMENT", "SALARY", "RENT", "BILL", "REFUND", "EMI", "TRANSFER", "ORDER", "SUBSCRIPTION", "FEE"]


def _ref(rng, digits):
    return str(rng.randrange(10 ** (digits - 1), 10 ** digits))


def _word(rng):
    """A made-up merchant word of 4 to 14 bytes."""
    while True:
        word = "".join(rng.choice(_SYLLABLES) for _ in range(rng.randint(2, 4))) + rng.choice(_SUFFIXES)
        if 4 <= len(word) <= 14:
            return word


def _pattern(rng):
    draw = rng.random()
    if draw < 0.03:
        if rng.random() < 0.3:
            return rng.choice(_GREEK)
        word = rng.choice(_ACCENTED) + rng.choice(["", rng.choice(_SYLLABLES), rng.choice(_SUFFIXES)])
        return word if len(word.encode()) <= 14 else word[:4] + rng.choice(_SYLLABLES)
    if draw < 0.13:
        while True:
            two = _word(rng)[:6] + " " + _word(rng)[:6]
            if len(two.encode()) <= 14:
                return two
    return _word(rng)


def make_rules(rng, count):
    """`count` rules with distinct patterns, each mixed-case like a user would type it."""
    seen, rules = set(), []
    while len(rules) < count:
        pattern = _pattern(rng)
        if pattern in seen or not 4 <= len(pattern.encode()) <= 14:
            continue
        seen.add(pattern)
        shown = pattern.title() if rng.random() < 0.5 else pattern
        merchant = shown.title() + rng.choice(["", "", " Pvt Ltd", " Store", " India"])
        rules.append({"pattern": shown, "category": rng.choice(CATEGORIES), "merchant": merchant})
    return rules


def _statement_case(text):
    """Upper-case as a bank prints it; ß keeps its form (its upper case is SS)."""
    return "".join(c if c == "ß" else c.upper() for c in text)


def _person(rng):
    if rng.random() < 0.08:
        return rng.choice(_PEOPLE_NON_ASCII)
    return f"{rng.choice(_GIVEN)} {rng.choice(_FAMILY)}"


def _city(rng):
    return rng.choice(_CITIES_NON_ASCII) if rng.random() < 0.08 else rng.choice(_CITIES)


def _as_printed(rng, text):
    """A statement line as a bank prints it: sometimes in title or lower case, cut to 20-80 bytes."""
    if rng.random() < 0.15:
        text = text.title() if rng.random() < 0.5 else text.lower()
    while len(text.encode()) > 80:
        text = text[:-1]
    if len(text.encode()) < 20:
        text += " REF " + _ref(rng, 20 - len(text.encode()))
    return text


def narration(rng, name):
    """One statement line naming `name` (a merchant or a person), 20 to 80 bytes."""
    shown = _statement_case(name)
    channel = rng.random()
    if channel < 0.4:
        handle = name.replace(" ", "").lower() if rng.random() < 0.5 else _ref(rng, 10)
        parts = ["UPI", _ref(rng, 12), shown]
        if rng.random() < 0.6:
            parts.append(f"{handle}@{rng.choice(_BANKS)}")
        if rng.random() < 0.4:
            parts.append(rng.choice(_NOTES))
        text = "/".join(parts)
    elif channel < 0.7:
        card = f"{_ref(rng, 4)}XXXXXX{_ref(rng, 4)}"
        text = f"POS {card} {shown}"
        if rng.random() < 0.6:
            text += " " + _city(rng)
    elif channel < 0.88:
        text = f"NEFT-{rng.choice(['HDFC', 'ICIC', 'SBIN', 'UTIB'])}N{_ref(rng, 11)}-{shown}"
        if rng.random() < 0.5:
            text += "-" + rng.choice(_NOTES)
    else:
        text = f"ACH D- {shown}-{_ref(rng, rng.choice([6, 8, 10]))}"
    return _as_printed(rng, text)


def _other_name(rng):
    """A payee that no rule is meant for: a person, or a merchant word of another shape."""
    if rng.random() < 0.6:
        return _person(rng)
    return rng.choice(_GIVEN) + " " + rng.choice(["TRADERS", "STORES", "ENTERPRISES", "AGENCIES", "MEDICALS"])


def make_narrations(rng, rules, count, planted=0.6, line=narration):
    """`count` transactions; a `planted` share of them names a merchant of `rules`."""
    data = []
    for _ in range(count):
        if rng.random() < planted:
            name = rng.choice(rules)["pattern"]
        else:
            name = _other_name(rng)
        data.append({"narration": line(rng, name)})
    return data


def make_labelled(rng, count, pairs, line=narration):
    """`count` labelled transactions over `pairs` (category, merchant) labels, in statement shapes."""
    labels = []
    for rule in make_rules(rng, pairs):
        labels.append((rule["pattern"], rule["category"], rule["merchant"]))
    data = []
    for _ in range(count):
        name, category, merchant = rng.choice(labels)
        data.append({"narration": line(rng, name), "category": category, "merchant": merchant})
    return data


# The long shape ------------------------------------------------------------------------------

_BANK_CODES = ["HDFC", "ICIC", "SBIN", "UTIB", "YESB", "KKBK", "PUNB", "BARB", "IDIB", "INDB", "CNRB", "DEUT"]
_PSPS = ["okaxis", "okhdfcbank", "oksbi", "ybl", "paytm", "ibl", "axl", "upi", "apl", "icici", "rzp"]
_UPI_NOTES = ["PAYMENT", "PAY", "UPI", "SENT", "COLLECT", "MANDATE", "ORDER", "BILL", "RECHARGE", "FOOD", "RIDE",
              "PAYMENT FROM PHONE", "PAY TO MERCHANT", "SENT USING APP", "UPI INTENT PAY", "ORDER FOR FOOD"]
_TRANSFER_NOTES = ["SALARY", "RENT", "FEES", "REFUND", "LOAN", "EMI", "TRANSFER", "INVOICE", "BONUS", "GIFT"]


def _date(rng):
    return f"{rng.randint(1, 28):02d}{rng.randint(1, 12):02d}{rng.choice([24, 25, 26])}"


def _long_handle(rng, name):
    """A UPI handle: the payee's name or a phone number, then the app."""
    draw = rng.random()
    if draw < 0.25:
        local = name.replace(" ", "").lower()[:8]
    elif draw < 0.5:
        local = name.replace(" ", "").lower()[:5] + _ref(rng, 3)
    else:
        local = rng.choice("6789") + _ref(rng, 9)
    return f"{local}@{rng.choice(_PSPS)}"


def long_narration(rng, name):
    """One statement line naming `name`, as a full export prints it: 20 to 80 bytes, about 8 tokens."""
    shown = _statement_case(name)
    channel = rng.random()
    if channel < 0.5:
        kind = rng.choice(["P2M", "P2M", "P2P"]) if rng.random() < 0.7 else rng.choice(["DR", "CR"])
        parts = ["UPI", kind, _ref(rng, 12), shown, rng.choice(_BANK_CODES), _long_handle(rng, name),
                 rng.choice(_UPI_NOTES)]
        text = "/".join(parts)
    elif channel < 0.75:
        kind = rng.choice(["POS", "PCD", "ECOM PUR"])
        text = f"{kind} XXXX{_ref(rng, 4)} {shown} {_city(rng)} IND {_date(rng)} AUTH {_ref(rng, 6)}"
    elif channel < 0.85:
        bank = rng.choice(_BANK_CODES)
        text = f"NEFT CR-{bank}0{rng.randrange(5000):06d}-{shown}-{rng.choice(_TRANSFER_NOTES)}-{_ref(rng, 8)}"
    elif channel < 0.93:
        text = f"IMPS/P2A/{_ref(rng, 12)}/{shown}/{rng.choice(_BANK_CODES)}/{rng.choice(_TRANSFER_NOTES)}"
    else:
        kind = rng.choice(["ACH D- ", "NACH DR ", "BIL/ONL/"])
        text = f"{kind}{shown} {rng.choice(_BANK_CODES)}{_ref(rng, 10)} {rng.choice(_TRANSFER_NOTES)} {_date(rng)}"
    return _as_printed(rng, text)


def make_long_narrations(rng, rules, count, planted=0.6):
    """make_narrations in the long shape."""
    return make_narrations(rng, rules, count, planted, line=long_narration)


def make_long_labelled(rng, count, pairs):
    """make_labelled in the long shape."""
    return make_labelled(rng, count, pairs, line=long_narration)


def categorize_text(rng, rules, target_bytes, distinct, fresh=True, make=make_narrations):
    """A categorize request of about `target_bytes` UTF-8 bytes of JSON, `data` before `rules`.

    Narrations come in chunks of `distinct`: each chunk new when `fresh`, else one chunk repeated
    (cheaper to build where only the sizes matter).
    """
    chunks, size = [], 0
    while size < target_bytes:
        if fresh or not chunks:
            chunk = json.dumps(make(rng, rules, distinct), ensure_ascii=False, separators=(",", ":"))[1:-1]
            chunk_size = len(chunk.encode())
        chunks.append(chunk)
        size += chunk_size + 1
    return '{"data":[' + ",".join(chunks) + '],"rules":' + json.dumps(rules, ensure_ascii=False) + "}"


def non_ascii_share(data):
    return sum(not item["narration"].isascii() for item in data) / len(data)


def rng(salt=0):
    return random.Random(SEED + salt)
