"""The loan engine in plain Python: the same arithmetic, step by step, as an
independent reference for tests/test_emi_reference.py (and the benchmark's
pure-Python peer). compute_emi returns what morvanta.compute_emi returns and
raises ValueError with the same texts.
"""
import math

MAX_TENURE = 600
_INT_MAX = 2**63 - 1
_INT_MIN = -(2**63)


def _rnd(x):
    if x != x:
        return x
    f = math.floor(x + 0.5) if math.isfinite(x) else x
    return f - 1.0 if x < f - 0.5 else float(f)


_RANGE = "invalid input: amounts exceed the supported range of whole units"


def _int(x):
    if not -(2.0**63) <= x < 2.0**63:
        raise ValueError(_RANGE)
    return int(x)


def _in_range(v):
    if not _INT_MIN <= v <= _INT_MAX:
        raise ValueError(_RANGE)
    return v


def _ipow(base, n):
    result = base if n & 1 else 1.0
    n >>= 1
    while n:
        base = base * base
        if n & 1:
            result = result * base
        n >>= 1
    return result


def _div(a, b):
    """IEEE division: Python raises where C gives an infinity or NaN."""
    if b == 0:
        if a == 0 or a != a:
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)
    return a / b


def _fmt2(v):
    return f"{v:.2f}"


def compute_emi(req):
    """The loan engine in pure Python; raises ValueError with the same texts."""
    mode = req["mode"]
    names = {"emi": "Emi", "tenure": "Tenure", "loanAmount": "LoanAmount"}
    ir = float(req["interestRate"])
    inf_rate = float(req.get("inflationRate", 0.0))
    if not math.isfinite(ir) or ir < 0:
        raise ValueError("invalid input: interestRate must be zero or greater")
    if not math.isfinite(inf_rate) or inf_rate < 0:
        raise ValueError("invalid input: inflationRate must be zero or greater")
    r = ir / 100 / 12

    def need(key):
        v = req.get(key)
        if v is None:
            raise ValueError(f"invalid input: {key} is required when solving for {names[mode]}")
        if key != "months":
            v = float(v)
            if not (math.isfinite(v) and v > 0):
                raise ValueError(f"invalid input: {key} must be greater than zero")
        else:
            if v == 0:
                raise ValueError("invalid input: months must be greater than zero")
            if v > MAX_TENURE:
                raise ValueError(f"tenure of {v} months exceeds the maximum supported {MAX_TENURE} months")
        return v

    if mode == "emi":
        p, n = need("loanAmount"), need("months")
        q = _ipow(1 + r, n) if r else 1.0
        e = p / n if q - 1 == 0 else _div((r * p) * q, q - 1)
        if not math.isfinite(e):
            raise ValueError("invalid input: could not derive a valid emi from the supplied loan amount and months")
    elif mode == "tenure":
        p, e = need("loanAmount"), need("emi")
        if r != 0:
            i = p * r
            if i >= e:
                raise ValueError(f"monthly payment of {_fmt2(e)} does not cover the first month's interest of "
                                 f"{_fmt2(i)}; the loan would never be repaid")
            growth = math.log(r + 1)
            x = p / e if growth == 0 else _div(math.log(e / (e - i)), growth)
        else:
            x = p / e
        if not math.isfinite(x):
            raise ValueError("invalid input: could not derive a valid tenure from the supplied loan amount and emi")
        n = math.ceil(x)
        if n < 1:
            raise ValueError("invalid input: could not derive a valid tenure from the supplied loan amount and emi")
        if n > MAX_TENURE:
            raise ValueError(f"tenure of {min(n, 2**64 - 1)} months exceeds the maximum supported {MAX_TENURE} months")
    else:
        e, n = need("emi"), need("months")
        q = _ipow(1 + r, n) if r else 1.0
        p = n * e if q - 1 == 0 else ((q - 1) * e) / (r * q)
        if not math.isfinite(p):
            raise ValueError("invalid input: could not derive a valid loan amount from the supplied emi and months")
    return _schedule(req, mode, p, e, n, r, ir, inf_rate)


def _schedule(req, mode, p, e, n, r, ir, inf_rate):
    start = req.get("start")
    if start is not None:
        y_text, m_text = start.split("-", 1)
        sy, sm = int(y_text), int(m_text)
    e1 = _rnd(e)
    g = (inf_rate / 100 + 1) ** 0.08333333333333333
    b, d = p, 1.0
    rows = []
    for k in range(n):
        i = r * b
        if k == n - 1 or e1 >= b:
            pr, it = _rnd(b), _rnd(i)
            paid, nb = pr + it, 0.0
        else:
            pp = e1 - i
            pr = _rnd(pp)
            it = e1 - pr
            paid, nb = e1, _rnd(b - pp)
        rp, ri = _rnd(pr / d), _rnd(it / d)
        row = {"index": k}
        if start is not None:
            t = k + sm - 1
            row["year"], row["month"] = sy + t // 12, t % 12 + 1
        row.update(emi=_int(paid), principal=_int(pr), interest=_int(it), outstanding=_int(nb),
                   realEmi=_int(rp + ri), realPrincipal=_int(rp), realInterest=_int(ri),
                   remainingEmi=0, realRemainingEmi=0)
        rows.append(row)
        if nb == 0:
            break
        d = d * g
        b = nb
    rem = rrem = 0
    for row in reversed(rows):
        row["remainingEmi"], row["realRemainingEmi"] = rem, rrem
        rem, rrem = _in_range(rem + row["emi"]), _in_range(rrem + row["realEmi"])
    loan = _int(_rnd(p))
    paid = _in_range(sum(row["emi"] for row in rows))
    real = _in_range(sum(row["realEmi"] for row in rows))
    years = []
    if start is not None:
        for row in rows:
            if not years or years[-1]["year"] != row["year"]:
                years.append({"year": row["year"], "months": [None] * 12, "nominalTotal": 0, "realTotal": 0,
                              "closingOutstanding": 0})
            grp = years[-1]
            grp["months"][row["month"] - 1] = {"nominal": row["emi"], "real": row["realEmi"]}
            grp["nominalTotal"] = _in_range(grp["nominalTotal"] + row["emi"])
            grp["realTotal"] = _in_range(grp["realTotal"] + row["realEmi"])
            grp["closingOutstanding"] = row["outstanding"]
    if start is not None and rows[-1]["year"] > 2**31 - 1:
        raise ValueError("invalid input: calendar years exceed the supported range (at most 2147483647)")
    result = {"mode": mode, "loanAmount": loan, "emi": _int(e1), "months": len(rows), "interestRate": ir,
              "inflationRate": inf_rate}
    if start is not None:
        result["start"] = f"{sy:04d}-{sm:02d}"
    result["totals"] = {"nominalPaid": paid, "realPaid": real, "nominalPrincipal": loan,
                        "nominalInterest": _in_range(paid - loan), "realPrincipal": loan, "realInterest": _in_range(real - loan)}
    result["schedule"] = rows
    result["years"] = years
    return result
