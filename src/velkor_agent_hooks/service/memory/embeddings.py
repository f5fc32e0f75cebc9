"""Embedders, and how a vector ranking is fused with the lexical one.

An embedder turns a list of texts into a list of vectors. ``resolve`` takes what a caller
gives: an ``Embedder``; the name of a model a package ships (``MODELS``); a LangChain
``Embeddings`` object (``embed_documents``, and ``embed_query`` for queries); or any callable
from a list of texts to a list of vectors. Its ``name`` is what the project records: a
callable's own ``name`` attribute if it has one, else its qualified name. Vectors are checked
(one per text, one length, finite, not all zero) and scaled to unit length.

Fusion is reciprocal-rank fusion, the lexical list leading: a memory at rank r of a list gains
that list's weight / (``RRF_K`` + r). Words stay the main evidence; the vector list adds
memories that say the same thing in other words, and breaks ties among the lexical ones.
"""

from __future__ import annotations

import importlib
from collections.abc import Callable, Sequence
from typing import Any

from ...client._vectors import checked

RRF_K = 10
VECTOR_WEIGHT = 0.3
# How many memories the vector search adds to the fusion.
VECTOR_CANDIDATES = 20


class Embedder:
    """A named function from texts to unit vectors; ``query`` embeds one query text."""

    def __init__(
        self,
        embed: Callable[[list[str]], Sequence[Sequence[float]]],
        name: str,
        query: Callable[[str], Sequence[float]] | None = None,
    ) -> None:
        if not isinstance(name, str) or not name:
            raise ValueError("an embedder needs a non-empty name")
        self.name = name
        self._embed = embed
        self._query = query

    def __repr__(self) -> str:
        return f"Embedder({self.name!r})"

    def __call__(self, texts: list[str]) -> list[list[float]]:
        if not texts:
            return []
        vectors = checked(self._embed(list(texts)), f"embedder {self.name!r}")
        if len(vectors) != len(texts):
            raise ValueError(
                f"embedder {self.name!r} returned {len(vectors)} vectors for {len(texts)} texts"
            )
        return vectors

    def query(self, text: str) -> list[float]:
        if self._query is None:
            return self([text])[0]
        return checked([self._query(text)], f"embedder {self.name!r}")[0]


def _wordllama() -> Embedder:
    from pathlib import Path

    try:
        import wordllama
    except ImportError:
        raise ValueError(
            "the wordllama model needs the embeddings extra:"
            " pip install 'velkor-agent-hooks[embeddings]'"
        ) from None
    # Its tokenizer is found offline only with the package's own folder as the cache.
    model = wordllama.WordLlama.load(
        cache_dir=Path(wordllama.__file__).parent, disable_download=True
    )
    return Embedder(lambda texts: model.embed(texts, norm=True), "wordllama-l2_supercat")


# Models shipped inside a package, by the name a project records.
# (wordllama's 64-dimension truncation fused worse than words alone on LoCoMo: not offered.)
MODELS: dict[str, Callable[[], Embedder]] = {"wordllama-l2_supercat": _wordllama}
ALIASES = {"wordllama": "wordllama-l2_supercat"}


def resolve(spec: Any) -> Embedder | None:
    """The embedder ``spec`` stands for (see the module docstring); None for None.

    A string that names no model may be ``module:attribute``, the attribute an embedder,
    a LangChain ``Embeddings`` object or a callable."""
    if spec is None or isinstance(spec, Embedder):
        return spec
    if isinstance(spec, str):
        name = ALIASES.get(spec, spec)
        if name in MODELS:
            return MODELS[name]()
        module, _, attribute = spec.partition(":")
        if not module or not attribute:
            known = ", ".join(sorted({*MODELS, *ALIASES}))
            raise ValueError(f"unknown embedder {spec!r}: one of {known}, or module:attribute")
        target = importlib.import_module(module)
        for part in attribute.split("."):
            target = getattr(target, part)
        return resolve(target() if isinstance(target, type) else target)
    if callable(getattr(spec, "embed_documents", None)):
        model = next(
            (v for a in ("model", "model_name") if isinstance(v := getattr(spec, a, None), str)),
            "",
        )
        name = f"langchain:{type(spec).__qualname__}" + (f":{model}" if model else "")
        query = spec.embed_query if callable(getattr(spec, "embed_query", None)) else None
        return Embedder(spec.embed_documents, name, query)
    if callable(spec):
        name = getattr(spec, "name", None)
        if not isinstance(name, str) or not name:
            name = f"{getattr(spec, '__module__', '')}.{getattr(spec, '__qualname__', '')}"
        return Embedder(spec, name)
    raise TypeError(
        "embedder must be a callable, a LangChain Embeddings object or a model name,"
        f" not {type(spec).__name__}"
    )


def fuse(
    lexical: list[tuple[int, float]], vector: list[tuple[int, float]], limit: int
) -> list[tuple[int, float]]:
    """The ``limit`` best (seq, fused score) of both rankings (each best first)."""
    fused: dict[int, float] = {}
    for weight, ranking in ((1.0, lexical), (VECTOR_WEIGHT, vector)):
        for rank, (seq, _) in enumerate(ranking, 1):
            fused[seq] = fused.get(seq, 0.0) + weight / (RRF_K + rank)
    ordered = sorted(fused.items(), key=lambda pair: (pair[1], pair[0]), reverse=True)
    return ordered[:limit]
