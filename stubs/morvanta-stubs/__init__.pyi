"""Type information for the morvanta extension module."""
import sys
from typing import Any, Dict, List, Mapping, Optional, Sequence, Union

if sys.version_info >= (3, 11):
    from typing import Literal, NotRequired, TypedDict
else:
    from typing_extensions import Literal, NotRequired, TypedDict

__version__: str
__all__: List[str]

EmiMode = Literal["emi", "tenure", "loanAmount"]

class EmiRequest(TypedDict):
    mode: Union[EmiMode, Dict[EmiMode, Any]]
    loanAmount: NotRequired[Optional[float]]
    emi: NotRequired[Optional[float]]
    months: NotRequired[Optional[int]]
    interestRate: float
    inflationRate: NotRequired[float]
    start: NotRequired[Optional[str]]

class EmiTotals(TypedDict):
    nominalPaid: int
    realPaid: int
    nominalPrincipal: int
    nominalInterest: int
    realPrincipal: int
    realInterest: int

class EmiMonth(TypedDict):
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
    nominal: int
    real: int

class EmiYear(TypedDict):
    year: int
    months: List[Optional[EmiYearMonth]]
    nominalTotal: int
    realTotal: int
    closingOutstanding: int

class EmiResult(TypedDict):
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

class CategoryRule(TypedDict):
    pattern: str
    category: str
    merchant: str

class MapInput(TypedDict):
    narration: str

class MapOutput(TypedDict):
    category: str
    merchant: str

class CategorizeRequest(TypedDict):
    data: Sequence[MapInput]
    rules: Sequence[CategoryRule]

class CategorizeResponse(TypedDict):
    data: List[Optional[MapOutput]]

class DeriveInput(TypedDict):
    narration: str
    category: str
    merchant: str

class DeriveRulesRequest(TypedDict):
    data: Sequence[DeriveInput]

class DeriveRulesResponse(TypedDict):
    rules: List[CategoryRule]

class PanicException(BaseException):
    """Raised on an internal fault of the module; derives from BaseException.

    The type is created by the module on first need and is not an attribute of
    it: catch it as BaseException, or name it here for type checking only.
    """

def compute_emi(request: Union[EmiRequest, Mapping[str, Any]]) -> EmiResult: ...
def compute_emi_json(request_json: str) -> str: ...
def categorize_transactions(request: Union[CategorizeRequest, Mapping[str, Any]]) -> CategorizeResponse: ...
def categorize_transactions_json(request_json: str) -> str: ...
def derive_rules(request: Union[DeriveRulesRequest, Mapping[str, Any]]) -> DeriveRulesResponse: ...
def derive_rules_json(request_json: str) -> str: ...
