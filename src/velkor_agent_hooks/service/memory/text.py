"""Index terms of a text (case and accents folded, English stopwords dropped, words stemmed)
and the times it names ("in May 2023", "last month", "yesterday").

The base install takes no dependency, and the standard library has no stemmer, so the English
(Porter2) Snowball stemmer is written out here; a test holds it to the ``snowballstemmer``
package word for word. Dates are the standard library's.
"""

from __future__ import annotations

import itertools
import re
import unicodedata
from datetime import date, timedelta
from functools import lru_cache
from typing import NamedTuple

# The Snowball project's English stopword list.
STOPWORDS = frozenset(
    """
    i me my myself we our ours ourselves you your yours yourself yourselves he him his himself
    she her hers herself it its itself they them their theirs themselves what which who whom
    this that these those am is are was were be been being have has had having do does did
    doing would should could ought i'm you're he's she's it's we're they're i've you've we've
    they've i'd you'd he'd she'd we'd they'd i'll you'll he'll she'll we'll they'll isn't
    aren't wasn't weren't hasn't haven't hadn't doesn't don't didn't won't wouldn't shan't
    shouldn't can't cannot couldn't mustn't let's that's who's what's here's there's when's
    where's why's how's a an the and but if or because as until while of at by for with about
    against between into through during before after above below to from up down in out on
    off over under again further then once here there when where why how all any both each
    few more most other some such no nor not only own same so than too very
    """.split()
)

# Past forms of English irregular verbs and irregular plurals, which no suffix rule reaches:
# "went" and "go" are one term. Forms that are as often other words ("left", "rose",
# "ground", "wound", "bound", "lay", "bore") are left alone.
_IRREGULAR = """
    arise arose arisen. awake awoke awoken. beat beaten. become became. begin began begun.
    bend bent. bite bit bitten. bleed bled. blow blew blown. break broke broken. breed bred.
    bring brought. build built. burn burnt. buy bought. catch caught. choose chose chosen.
    cling clung. come came. creep crept. deal dealt. dig dug. draw drew drawn. dream dreamt.
    drink drank drunk. drive drove driven. eat ate eaten. fall fell fallen. feed fed.
    feel felt. fight fought. find found. flee fled. fly flew flown. forbid forbade forbidden.
    forget forgot forgotten. forgive forgave forgiven. freeze froze frozen. get got gotten.
    give gave given. go went gone. grow grew grown. hang hung. hear heard. hide hid hidden.
    hold held. keep kept. kneel knelt. know knew known. lead led. leap leapt. learn learnt.
    lend lent. lose lost. make made. mean meant. meet met. pay paid. ride rode ridden.
    ring rang rung. rise risen. run ran. say said. see saw seen. seek sought. sell sold.
    send sent. shake shook shaken. shine shone. shoot shot. show shown. shrink shrank shrunk.
    sing sang sung. sink sank sunk. sit sat. sleep slept. slide slid. speak spoke spoken.
    spend spent. spin spun. spring sprang sprung. stand stood. steal stole stolen.
    stick stuck. sting stung. strike struck. swear swore sworn. sweep swept. swim swam swum.
    swing swung. take took taken. teach taught. tear tore torn. tell told. think thought.
    throw threw thrown. understand understood. wake woke woken. wear wore worn. weep wept.
    win won. write wrote written. undergo underwent undergone. withdraw withdrew withdrawn.
    mistake mistook mistaken. overcome overcame.
    child children. man men. woman women. person people. foot feet. tooth teeth. mouse mice.
"""
_BASE = {form: forms.split()[0] for forms in _IRREGULAR.split(".") for form in forms.split()[1:]}

_WORD = re.compile(r"[^\W_]+(?:'[^\W_]+)*")
_APOSTROPHES = str.maketrans({"\u2019": "'", "\u2018": "'", "\u02bc": "'"})


def fold(text: str) -> str:
    """Lower case without accents: "Café" and "cafe" are one word."""
    decomposed = unicodedata.normalize("NFKD", text.translate(_APOSTROPHES))
    return "".join(c for c in decomposed if not unicodedata.combining(c)).casefold()


def words(text: str) -> list[str]:
    """The folded words of ``text``, stopwords included, in order."""
    return _WORD.findall(fold(text))


def analyze(text: str) -> list[str]:
    """The index terms of ``text`` in order: stems of its words other than stopwords.

    Numbers stay (a year or a count is often what a question turns on). A term is letters and
    digits only ("o'brien": "obrien"), one token to any full-text tokenizer.
    """
    return [
        stem(_BASE.get(word, word)).replace("'", "")
        for word in words(text)
        if word not in STOPWORDS
    ]


# Porter2 -------------------------------------------------------------------------------------

_V = frozenset("aeiouy")
_V_WXY = _V | frozenset("wxY")
_DOUBLES = ("bb", "dd", "ff", "gg", "mm", "nn", "pp", "rr", "tt")
_LI_ENDINGS = frozenset("cdeghkmnrt")
_REGION_PREFIXES = (
    "arsen",
    "commun",
    "emerg",
    "gener",
    "inter",
    "later",
    "organ",
    "past",
    "univers",
)
_EXCEPTIONS = {
    "skis": "ski",
    "skies": "sky",
    "idly": "idl",
    "gently": "gentl",
    "ugly": "ugli",
    "early": "earli",
    "only": "onli",
    "singly": "singl",
    **dict.fromkeys(("sky", "news", "howe", "atlas", "cosmos", "bias", "andes"), None),
}
_ING_KEPT = frozenset(("even", "cann", "inn", "earr", "herr", "out"))

_STEP2 = {
    "tional": "tion",
    "enci": "ence",
    "anci": "ance",
    "abli": "able",
    "entli": "ent",
    "izer": "ize",
    "ization": "ize",
    "ational": "ate",
    "ation": "ate",
    "ator": "ate",
    "alism": "al",
    "aliti": "al",
    "alli": "al",
    "fulness": "ful",
    "ousli": "ous",
    "ousness": "ous",
    "iveness": "ive",
    "iviti": "ive",
    "biliti": "ble",
    "bli": "ble",
    "ogist": "og",
    "ogi": "og",
    "fulli": "ful",
    "lessli": "less",
    "li": "",
}
_STEP3 = {
    "tional": "tion",
    "ational": "ate",
    "alize": "al",
    "icate": "ic",
    "iciti": "ic",
    "ical": "ic",
    "ful": "",
    "ness": "",
    "ative": "",
}
_STEP4 = "ic ance ence able ible ate ive ize iti al ism ion er ous ant ent ment ement".split()


def _by_length(suffixes):
    return sorted(suffixes, key=len, reverse=True)


_STEP2_ORDER = _by_length(_STEP2)
_STEP3_ORDER = _by_length(_STEP3)
_STEP4_ORDER = _by_length(_STEP4)


def _longest(word: str, suffixes: list[str]) -> str | None:
    for suffix in suffixes:
        if word.endswith(suffix):
            return suffix
    return None


def _after_vowel_consonant(word: str, start: int) -> int:
    for i in range(start + 1, len(word)):
        if word[i] not in _V and word[i - 1] in _V:
            return i + 1
    return len(word)


def _short_syllable(word: str, end: int) -> bool:
    if end >= 3 and word[end - 1] not in _V_WXY and word[end - 2] in _V:
        if word[end - 3] not in _V:
            return True
    if end == 2 and word[1] not in _V and word[0] in _V:
        return True
    return word[:end].endswith("past")


@lru_cache(maxsize=65536)
def stem(word: str) -> str:
    """The English Snowball stem of a lower-case word."""
    if word in _EXCEPTIONS:
        return _EXCEPTIONS[word] or word
    if len(word) < 3:
        return word
    if word[0] == "'":
        word = word[1:]
    chars = list(word)
    for i, c in enumerate(chars):
        if c == "y" and (i == 0 or chars[i - 1] in _V):
            chars[i] = "Y"
    w = "".join(chars)

    p1 = next((len(p) for p in _REGION_PREFIXES if w.startswith(p)), None)
    if p1 is None:
        p1 = _after_vowel_consonant(w, 0)
    p2 = _after_vowel_consonant(w, p1)

    w = _step1a(w)
    w = _step1b(w, p1)
    # 1c: a final y after a consonant that is not the first letter
    if len(w) >= 3 and w[-1] in "yY" and w[-2] not in _V:
        w = w[:-1] + "i"
    w = _replace(w, _STEP2_ORDER, p1, _step2)
    w = _replace(w, _STEP3_ORDER, p1, _step3(p2))
    suffix = _longest(w, _STEP4_ORDER)
    if suffix is not None and len(w) - len(suffix) >= p2:
        base = w[: -len(suffix)]
        if suffix != "ion" or base.endswith(("s", "t")):
            w = base
    w = _step5(w, p1, p2)
    return w.replace("Y", "y")


def _step1a(w: str) -> str:
    for ending in ("'s'", "'s", "'"):
        if w.endswith(ending):
            w = w[: -len(ending)]
            break
    if w.endswith("sses"):
        return w[:-2]
    if w.endswith(("ied", "ies")):
        return w[:-3] + ("i" if len(w) > 4 else "ie")
    if w.endswith(("ss", "us")):
        return w
    if w.endswith("s") and len(w) >= 2 and any(c in _V for c in w[:-2]):
        return w[:-1]
    return w


def _step1b(w: str, p1: int) -> str:
    suffix = _longest(w, ["eedly", "ingly", "edly", "eed", "ing", "ed"])
    if suffix is None:
        return w
    start = len(w) - len(suffix)
    stem_part = w[:start]
    if suffix in ("eed", "eedly"):
        if start >= p1 and stem_part not in ("succ", "proc", "exc"):
            return stem_part + "ee"
        return w
    if suffix == "ing":
        if stem_part in _ING_KEPT:
            return w
        if len(stem_part) == 2 and stem_part[1] == "y" and stem_part[0] not in _V:
            return stem_part[0] + "ie"
    if not any(c in _V for c in stem_part):
        return w
    w = stem_part
    if w.endswith(("at", "bl", "iz")):
        return w + "e"
    if w.endswith(_DOUBLES):
        if len(w) == 3 and w[0] in "aeo":
            return w
        return w[:-1]
    if p1 == len(w) and _short_syllable(w, len(w)):
        return w + "e"
    return w


def _replace(w: str, order: list[str], p1: int, rule) -> str:
    suffix = _longest(w, order)
    if suffix is None or len(w) - len(suffix) < p1:
        return w
    return rule(w, suffix)


def _step2(w: str, suffix: str) -> str:
    base = w[: -len(suffix)]
    if suffix == "ogi" and not base.endswith("l"):
        return w
    if suffix == "li" and (not base or base[-1] not in _LI_ENDINGS):
        return w
    return base + _STEP2[suffix]


def _step3(p2: int):
    def rule(w: str, suffix: str) -> str:
        if suffix == "ative" and len(w) - len(suffix) < p2:
            return w
        return w[: -len(suffix)] + _STEP3[suffix]

    return rule


def _step5(w: str, p1: int, p2: int) -> str:
    start = len(w) - 1
    if w.endswith("e"):
        if start >= p2 or (start >= p1 and not _short_syllable(w, start)):
            return w[:-1]
    elif w.endswith("l") and start >= p2 and w[-2:-1] == "l":
        return w[:-1]
    return w


# Time ----------------------------------------------------------------------------------------

_MONTHS = (
    "january february march april may june july august september october november december"
).split()
_MONTH = {}
for _number, _name in enumerate(_MONTHS, 1):
    # Full names, their stems (index terms are stemmed) and abbreviations.
    _MONTH.update(dict.fromkeys((_name, stem(_name), _name[:3]), _number))
_MONTH["sept"] = 9
_SEASONS = {"spring": 3, "summer": 6, "autumn": 9, "fall": 9, "winter": 12}
_WEEKDAYS = "monday tuesday wednesday thursday friday saturday sunday".split()
_M = "(" + "|".join(sorted(_MONTH, key=len, reverse=True)) + r")\.?"
_DAY = r"(\d{1,2})(?:st|nd|rd|th)?"
_YEAR = r"((?:19|20)\d\d)"
_UNIT = r"(day|week|weekend|month|year)s?"
_COUNTS = {"a": 1, "an": 1, "one": 1, "two": 2, "three": 3, "four": 4, "five": 5, "six": 6}
_COUNT = "(" + "|".join(_COUNTS) + r"|\d{1,2})"
_UNAMBIGUOUS = "|".join(name for m in _MONTHS if m not in ("may", "march") for name in {m, stem(m)})
_FORMS = [
    ("day", re.compile(rf"\b{_DAY}\s+(?:of\s+)?{_M},?\s+{_YEAR}\b")),
    ("month_day", re.compile(rf"\b{_M}\s+{_DAY},?\s+{_YEAR}\b")),
    ("month", re.compile(rf"\b{_M},?\s+(?:of\s+)?{_YEAR}\b")),
    ("season", re.compile(rf"\b({'|'.join(_SEASONS)})\s+(?:of\s+)?{_YEAR}\b")),
    ("year", re.compile(rf"\b{_YEAR}\b")),
    # A month on its own, by its full name; "may" and "march" only where a month is meant.
    ("bare_month", re.compile(rf"\b(?:in|during|since|early|mid|late|of)[\s-]+{_M}\b")),
    ("bare_month", re.compile(rf"\b({_UNAMBIGUOUS})\b")),
    ("ago", re.compile(rf"\b(?:{_COUNT}\s+)?{_UNIT}\s+ago\b")),
    ("relative", re.compile(rf"\b(last|past|this|next)\s+{_UNIT}\b")),
    ("weekday", re.compile(rf"\b(last|past|this|next)?\s*({'|'.join(_WEEKDAYS)})\b")),
    ("day_word", re.compile(r"\b(yesterday|today|tonight|tomorrow|last\s+night)\b")),
]

TIME_TERMS = frozenset(
    stem(w)
    for w in (
        "yesterday today tonight tomorrow ago last next past week weekend month year day "
        "morning afternoon evening night recently lately earlier soon"
    ).split()
    + _WEEKDAYS
    + _MONTHS
    + list(_SEASONS)
)
_TIME_NOUNS = frozenset("year month day date week time season weekend".split())


class Mention(NamedTuple):
    """The dates [start, end) that a text names; a month named without its year
    ("in June") is that month of every year, dated here by its latest one."""

    start: date
    end: date
    yearly: bool = False

    def shifted(self, year: int) -> Mention:
        """The same month in ``year``, for a yearly mention."""
        return self._replace(
            start=self.start.replace(year=year), end=_add_months(self.start.replace(year=year), 1)
        )


def asks_when(text: str) -> bool:
    """Whether a question asks for a time: "when ...", "what year ...", "how long ago ..."."""
    found = words(text)
    if "when" in found:
        return True
    pairs = set(itertools.pairwise(found))
    return ("how", "long") in pairs or any(
        a in ("what", "which") and b in _TIME_NOUNS for a, b in pairs
    )


def time_mention(text: str, today: date) -> Mention | None:
    """The first time ``text`` names, absolute ("in May 2023", "on 4 December, 2023",
    "summer 2022", "2021", "in June": its latest one up to ``today``) or relative to
    ``today`` ("yesterday", "last month", "two weeks ago", "last Friday", "next year")."""
    return _first_mention(fold(text), today)


def terms_mention(terms: list[str], today: date) -> Mention | None:
    """``time_mention`` for index terms (folded and stemmed already)."""
    if not any(term in TIME_TERMS or term.isdigit() for term in terms):
        return None
    return _first_mention(" ".join(terms), today)


def _first_mention(folded: str, today: date) -> Mention | None:
    for kind, pattern in _FORMS:
        for found in pattern.finditer(folded):
            try:
                window = _resolve(kind, found.groups(), today)
            except (ValueError, OverflowError):
                continue
            if window is not None:
                return Mention(*window, yearly=kind == "bare_month")
    return None


def _resolve(kind: str, groups: tuple, today: date) -> tuple[date, date] | None:
    day = timedelta(days=1)
    if kind == "day":
        start = date(int(groups[2]), _MONTH[groups[1]], int(groups[0]))
        return start, start + day
    if kind == "month_day":
        start = date(int(groups[2]), _MONTH[groups[0]], int(groups[1]))
        return start, start + day
    if kind == "month":
        start = date(int(groups[1]), _MONTH[groups[0]], 1)
        return start, _add_months(start, 1)
    if kind == "season":
        start = date(int(groups[1]), _SEASONS[groups[0]], 1)
        return start, _add_months(start, 3)
    if kind == "year":
        return date(int(groups[0]), 1, 1), date(int(groups[0]) + 1, 1, 1)
    if kind == "bare_month":
        start = date(today.year, _MONTH[groups[0]], 1)
        if start > today:
            start = date(today.year - 1, start.month, 1)
        return start, _add_months(start, 1)
    if kind == "ago":
        count = 1 if groups[0] is None else _COUNTS.get(groups[0]) or int(groups[0])
        unit = groups[1]
        if unit == "year":
            at = date(today.year - count, today.month, 1)
            return _add_months(at, -6), _add_months(at, 7)
        if unit == "month":
            at = _add_months(today.replace(day=1), -count)
            return _add_months(at, -1), _add_months(at, 2)
        span = timedelta(days=7 if unit.startswith("week") else 1)
        at = today - count * span
        return at - span, at + span
    if kind == "relative":
        which, unit = groups
        shift = {"last": -1, "past": -1, "this": 0, "next": 1}[which]
        if unit == "year":
            return date(today.year + shift, 1, 1), date(today.year + shift + 1, 1, 1)
        if unit == "month":
            start = _add_months(today.replace(day=1), shift)
            return start, _add_months(start, 1)
        monday = today - timedelta(days=today.weekday()) + 7 * shift * day
        return monday, monday + 7 * day
    if kind == "weekday":
        which, name = groups
        back = (today.weekday() - _WEEKDAYS.index(name)) % 7
        if which == "next":
            at = today + ((7 - back) % 7 or 7) * day
        else:
            at = today - (back or (7 if which else 0)) * day
        return at, at + day
    if kind == "day_word":
        shift = {"yesterday": -1, "tomorrow": 1}.get(groups[0], 0)
        if groups[0].startswith("last"):
            shift = -1
        at = today + shift * day
        return at, at + day
    return None


def _add_months(day: date, months: int) -> date:
    index = day.year * 12 + day.month - 1 + months
    return date(index // 12, index % 12 + 1, 1)
