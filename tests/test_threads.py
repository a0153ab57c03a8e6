"""Many Python threads calling every function at once get the single-threaded answers."""
import collections.abc
import gc
import json
import sys
import threading

import morvanta

LOAN = {"mode": "emi", "loanAmount": 480000, "months": 120, "interestRate": 8.25, "inflationRate": 4.5,
        "start": "2025-02"}
CAT = {"data": [{"narration": f"POS {i} {w} STORE"} for i, w in enumerate(["COFFEE", "Fuel", "BÄCKEREI", "x"] * 50)],
       "rules": [{"pattern": "coffee", "category": "Food", "merchant": "Cafe"},
                 {"pattern": "bäck", "category": "Food", "merchant": "Bakery"},
                 {"pattern": "fuel", "category": "Car", "merchant": "Pump"}]}
DERIVE = {"data": [{"narration": f"UPI/{w}/{i}", "category": c, "merchant": m}
                   for i, (w, c, m) in enumerate([("SWIGGY", "Food", "Swiggy"), ("UBER", "Travel", "Uber"),
                                                  ("NETFLIX", "Fun", "Netflix")] * 40)]}

CALLS = [
    (morvanta.compute_emi, LOAN),
    (morvanta.compute_emi_json, json.dumps(LOAN)),
    (morvanta.categorize_transactions, CAT),
    (morvanta.categorize_transactions_json, json.dumps(CAT)),
    (morvanta.derive_rules, DERIVE),
    (morvanta.derive_rules_json, json.dumps(DERIVE)),
    (morvanta.compute_emi, {**LOAN, "months": 0}),  # an error path too
]


def run(fn, arg):
    try:
        return ("ok", fn(arg))
    except ValueError as e:
        return ("error", e.args)


def run_threads(target, count):
    """Runs target(0) .. target(count - 1) on threads of their own and waits for all."""
    threads = [threading.Thread(target=target, args=(seed,)) for seed in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def test_eight_threads_agree_with_one():
    expected = [run(fn, arg) for fn, arg in CALLS]
    failures = []
    barrier = threading.Barrier(8)

    def worker(seed):
        barrier.wait()
        for round_ in range(60):
            k = (seed + round_) % len(CALLS)
            fn, arg = CALLS[k]
            if run(fn, arg) != expected[k]:
                failures.append((seed, k))

    run_threads(worker, 8)
    assert failures == []


# Requests shared by callers and mutators. Every state a mutator leaves a
# request in has a known answer; a call that runs while a mutation happens
# may fail with ValueError or give the answer of a state the request was in.
WORDS = ["COFFEE", "FUEL", "BÄCKEREI", "NOTHING"]
ITEMS = 120


def narration(i, variant):
    # An f-string makes a new str every time, so a replaced text is freed.
    return f"POS {i} {WORDS[(i + variant) % len(WORDS)]} STORE"


def rule_set():
    # New dicts and new texts of the same rules: equal content, fresh objects.
    return [{"pattern": "".join(p), "category": "".join(c), "merchant": "".join(m)}
            for p, c, m in (("coffee", "Food", "Cafe"), ("bäck", "Food", "Bakery"), ("fuel", "Car", "Pump"))]


def loan_state(months):
    # "interestRate" comes last, so any part of a refill that a reader might
    # see lacks a required field and fails instead of giving another answer.
    return {"start": "2025-02", "inflationRate": 4.5, "loanAmount": 480000, "months": months, "mode": "emi",
            "interestRate": 8.25}


def derive_data(shift):
    labels = [("SWIGGY", "Food", "Swiggy"), ("UBER", "Travel", "Uber"), ("NETFLIX", "Fun", "Netflix")]
    return [{"narration": f"UPI/{labels[(i + shift) % 3][0]}/{i}", "category": labels[(i + shift) % 3][1],
             "merchant": labels[(i + shift) % 3][2]} for i in range(60)]


def test_calls_on_requests_that_other_threads_mutate():
    rules_a, rules_b = rule_set(), rule_set()
    rules = list(rules_a)
    items = [{"narration": narration(i, 0)} for i in range(ITEMS)]
    cat = {"data": items, "rules": rules}
    loan = loan_state(120)
    derive = {"data": derive_data(0)}
    texts = [json.dumps(loan_state(120)), json.dumps({"data": items, "rules": rules}), json.dumps(derive)]

    def row(i, variant):
        return morvanta.categorize_transactions({"data": [{"narration": narration(i, variant)}], "rules": rules_a})[
            "data"][0]

    rows = [(row(i, 0), row(i, 1)) for i in range(ITEMS)]
    loans = [morvanta.compute_emi(loan_state(m)) for m in (120, 240)]
    derived = [morvanta.derive_rules({"data": derive_data(s)}) for s in (0, 1)]
    loan_texts = [json.loads(morvanta.compute_emi_json(json.dumps(loan_state(m)))) for m in (120, 240)]
    watched = [rules_a, rules_b, *rules_a, *rules_b, *(v for r in rules_a + rules_b for v in r.values()), rules,
               items, cat, loan, derive, texts]
    refs = [sys.getrefcount(obj) for obj in watched]

    def categorized(result):
        data = result["data"]
        # The last item is briefly missing while it is popped and appended.
        return len(data) in (ITEMS - 1, ITEMS) and all(got in rows[i] for i, got in enumerate(data))

    def categorized_text(result):
        return categorized(json.loads(result))

    calls = [
        (lambda: morvanta.compute_emi(loan), lambda r: r in loans),
        (lambda: morvanta.compute_emi_json(texts[0]), lambda r: json.loads(r) in loan_texts),
        (lambda: morvanta.categorize_transactions(cat), categorized),
        (lambda: morvanta.categorize_transactions_json(texts[1]), categorized_text),
        (lambda: morvanta.derive_rules(derive), lambda r: r in derived),
        (lambda: morvanta.derive_rules_json(texts[2]), lambda r: json.loads(r) in derived),
    ]
    failures = []
    done = threading.Event()
    start = threading.Barrier(6)

    def caller(seed):
        start.wait()
        for round_ in range(40):
            for k in range(len(calls)):
                call, good = calls[(seed + k) % len(calls)]
                try:
                    result = call()
                except ValueError:
                    continue  # a request caught in the middle of a mutation
                except BaseException as e:  # PanicException, SystemError, ...: an internal fault
                    failures.append(f"{type(e).__name__}: {e}")
                    continue
                if not good(result):
                    failures.append(f"call {(seed + k) % len(calls)} gave an answer of no state: {result!r:.300}")

    def replace_items():
        # Replaces list items (the last one by popping and appending it) and
        # swaps rules for equal new ones.
        start.wait()
        step = 0
        while not done.is_set() and step < 200000:
            i = step % ITEMS
            items[i] = {"narration": narration(i, (step // ITEMS) % 2)}
            if step % 16 == 0:
                items.pop()
                items.append({"narration": narration(ITEMS - 1, step // 16 % 2)})
            if step % 7 == 0:
                k = step % len(rules)
                rules[k] = (rules_b if rules[k] is rules_a[k] else rules_a)[k]
            if step % 50 == 0:
                # Built from fresh texts and the rule dicts no thread changes:
                # json.dumps walks a dict without its lock, so encoding the
                # items that refill_dicts clears would read freed strings.
                texts[1] = json.dumps({"data": [{"narration": narration(i, (i + step) % 2)} for i in range(ITEMS)],
                                       "rules": list(rules)})
            step += 1

    def refill_dicts():
        # Clears and refills dicts, drops texts and whole lists.
        start.wait()
        step = 0
        while not done.is_set() and step < 200000:
            i = (step * 7) % (ITEMS - 1)  # the last item may be popped just now
            entry = items[i]
            entry.clear()
            entry["narration"] = narration(i, step % 2)
            months = (120, 240)[step // 8 % 2]
            if step % 8 == 0:
                loan.clear()
                loan.update(loan_state(months))
            elif step % 8 == 4:
                loan["months"] = 360 - months
                loan["months"] = months
            if step % 32 == 0:
                derive["data"] = derive_data(step // 32 % 2)
                texts[0] = json.dumps(loan_state(months))
                texts[2] = json.dumps({"data": derive_data(step // 32 % 2)})
            step += 1

    callers = [threading.Thread(target=caller, args=(s,)) for s in range(4)]
    mutators = [threading.Thread(target=replace_items), threading.Thread(target=refill_dicts)]
    for t in callers + mutators:
        t.start()
    for t in callers:
        t.join()
    done.set()
    for t in mutators:
        t.join()
    assert failures == []
    # No reference to a shared object is left behind by any call.
    rules[:] = rules_a
    texts[:] = [None] * 3
    texts[:] = [json.dumps(loan_state(120)), json.dumps({"data": items, "rules": rules}), json.dumps(derive)]
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == refs


class Months:
    """A months value whose __index__ refills the loan it was read from, with the other tenure."""

    def __init__(self, loan, months):
        self.loan, self.months = loan, months

    def __index__(self):
        self.loan.clear()
        self.loan.update({**loan_state(0), "months": Months(self.loan, 360 - self.months)})
        return self.months


class Meddling(collections.abc.Mapping):
    """An item whose reading replaces the plain items of its list and clears and refills their dicts."""

    def __init__(self, items, i):
        self.items, self.i, self.step = items, i, 0

    def __getitem__(self, key):
        if key != "narration":
            raise KeyError(key)
        self.step += 1
        for j in range(self.step % 5, ITEMS, 5):
            if j % 10 == 0:
                continue  # another Meddling item
            if j % 2:
                self.items[j] = {"narration": narration(j, self.step % 2)}
            else:
                entry = self.items[j]
                entry.clear()
                entry["narration"] = narration(j, (self.step + 1) % 2)
        return narration(self.i, 0)

    def __iter__(self):
        return iter(["narration"])

    def __len__(self):
        return 1


def test_user_code_that_mutates_the_request_while_it_is_read():
    # Code that the module calls back into (a number's __index__, a mapping's
    # __getitem__) changes the request that this and other threads are
    # reading, and drops the texts already read from it.
    loan = loan_state(0)
    loan["months"] = Months(loan, 120)
    items = [Meddling(None, i) if i % 10 == 0 else {"narration": narration(i, 0)} for i in range(ITEMS)]
    for item in items[::10]:
        item.items = items
    rules = rule_set()
    cat = {"data": items, "rules": rules}
    rows = [tuple(morvanta.categorize_transactions({"data": [{"narration": narration(i, v)}], "rules": rules})[
        "data"][0] for v in (0, 1)) for i in range(ITEMS)]
    loans = [morvanta.compute_emi(loan_state(m)) for m in (120, 240)]
    failures = []
    start = threading.Barrier(4)

    def caller(seed):
        start.wait()
        for round_ in range(30):
            try:
                if (seed + round_) % 2:
                    got = morvanta.compute_emi(loan)
                    ok = got in loans
                else:
                    got = morvanta.categorize_transactions(cat)
                    ok = len(got["data"]) == ITEMS and all(row in rows[i] for i, row in enumerate(got["data"]))
            except ValueError:
                continue  # a dict read while it was empty
            except BaseException as e:
                failures.append(f"{type(e).__name__}: {e}")
                continue
            if not ok:
                failures.append(f"an answer of no state: {got!r:.300}")

    run_threads(caller, 4)
    assert failures == []
