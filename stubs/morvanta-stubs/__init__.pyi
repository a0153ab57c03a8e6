"""Type information for the morvanta extension module.

The request and result shapes below (``EmiRequest``, ``EmiResult``,
``CategorizeRequest`` ...) exist for type checkers only: the module itself
holds just ``__version__`` and the six functions.
Import them under ``typing.TYPE_CHECKING`` and use them in annotations that
are not evaluated at run time (``from __future__ import annotations``).

An internal fault of the module (a bug, never bad input) raises an exception
whose type is not a module attribute, so the stub does not name it: its
qualified name is "pyo3_runtime.PanicException", and it derives from
BaseException, not Exception.
"""
import sys
from typing import Any, Dict, List, Optional, Sequence, Union

if sys.version_info >= (3, 11):
    from typing import Literal, NotRequired, TypedDict
else:
    from typing_extensions import Literal, NotRequired, TypedDict

__version__: str
__all__ = [
    "__version__",
    "compute_emi",
    "compute_emi_json",
    "categorize_transactions",
    "categorize_transactions_json",
    "derive_rules",
    "derive_rules_json",
]

# ---------------------------------------------------------------- loans

EmiMode = Literal["emi", "tenure", "loanAmount"]
"""What a loan request solves for: the instalment, the tenure or the amount."""

class EmiRequest(TypedDict):
    """A loan to solve and schedule.

    ``mode`` names the missing quantity; the engine reads the two others:
    "emi" needs ``loanAmount`` and ``months``, "tenure" needs ``loanAmount``
    and ``emi``, "loanAmount" needs ``emi`` and ``months``. ``None`` is the
    same as leaving a key out. Rates are percent per year. ``start`` is the
    month of the first instalment as "YYYY-MM".
    """

    mode: Union[EmiMode, Dict[EmiMode, Any]]
    loanAmount: NotRequired[Optional[float]]
    emi: NotRequired[Optional[float]]
    months: NotRequired[Optional[int]]
    interestRate: float
    inflationRate: NotRequired[float]
    start: NotRequired[Optional[str]]

class EmiTotals(TypedDict):
    """Sums over the whole schedule, in whole currency units."""

    nominalPaid: int
    realPaid: int
    nominalPrincipal: int
    nominalInterest: int
    realPrincipal: int
    realInterest: int

class EmiMonth(TypedDict):
    """One month of the schedule. ``year`` and ``month`` are present only
    when the request had a ``start``; "real" values are in first-month money.
    """

    index: int
    year: NotRequired[int]
    month: NotRequired[int]
    emi: int
    principal: int
    interest: int
    outstanding: int
    realEmi: int
    realPrincipal: int
    realInterest: int
    remainingEmi: int
    realRemainingEmi: int

class EmiYearMonth(TypedDict):
    """The instalment of one calendar month, nominal and real."""

    nominal: int
    real: int

class EmiYear(TypedDict):
    """One calendar year of the schedule. ``months[k]`` is calendar month
    k + 1, ``None`` where the schedule has no payment in that month.
    """

    year: int
    months: List[Optional[EmiYearMonth]]
    nominalTotal: int
    realTotal: int
    closingOutstanding: int

class EmiResult(TypedDict):
    """The solved loan and its schedule. ``start`` is present only when the
    request had one; ``years`` is then one group per calendar year, else empty.
    """

    mode: EmiMode
    loanAmount: int
    emi: int
    months: int
    interestRate: float
    inflationRate: float
    start: NotRequired[str]
    totals: EmiTotals
    schedule: List[EmiMonth]
    years: List[EmiYear]

# ---------------------------------------------------------------- categorizer

class CategoryRule(TypedDict):
    """A narration containing ``pattern`` (case-insensitively) gets
    ``category`` and ``merchant``. Input of categorization, output of
    rule derivation.
    """

    pattern: str
    category: str
    merchant: str

class MapInput(TypedDict):
    """One transaction to categorize."""

    narration: str

class MapOutput(TypedDict):
    """The labels of the rule that matched a transaction."""

    category: str
    merchant: str

class CategorizeRequest(TypedDict):
    """Transactions and the rules to try on each, first match wins."""

    data: Sequence[MapInput]
    rules: Sequence[CategoryRule]

class CategorizeResponse(TypedDict):
    """One entry per transaction, in order; ``None`` where no rule matched."""

    data: List[Optional[MapOutput]]

class DeriveInput(TypedDict):
    """One transaction the user already labelled."""

    narration: str
    category: str
    merchant: str

class DeriveRulesRequest(TypedDict):
    """Labelled transactions to learn rules from."""

    data: Sequence[DeriveInput]

class DeriveRulesResponse(TypedDict):
    """At most one rule per (category, merchant), sorted by category, then merchant."""

    rules: List[CategoryRule]

# ---------------------------------------------------------------- functions

def compute_emi(request: EmiRequest) -> EmiResult:
    """Solve the missing loan quantity and build the month-by-month schedule.

    Raises ValueError for a request that cannot be read ("invalid request: ...")
    and for a loan the engine refuses (for example a tenure above 600 months).
    """

def compute_emi_json(request_json: str) -> str:
    """``compute_emi`` on JSON text; returns compact JSON text."""

def categorize_transactions(request: CategorizeRequest) -> CategorizeResponse:
    """Give each narration the labels of the first rule whose lower-cased
    pattern occurs in its lower-cased text, or ``None``.
    """

def categorize_transactions_json(request_json: str) -> str:
    """``categorize_transactions`` on JSON text; returns compact JSON text."""

def derive_rules(request: DeriveRulesRequest) -> DeriveRulesResponse:
    """Derive one rule per (category, merchant) from labelled narrations."""

def derive_rules_json(request_json: str) -> str:
    """``derive_rules`` on JSON text; returns compact JSON text."""
