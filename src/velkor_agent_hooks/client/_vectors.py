"""Vectors as the client and the service accept them."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any


def checked(vectors: Any, what: str) -> list[list[float]]:
    """Vectors as lists of floats of unit length; ValueError or TypeError if they are not
    vectors of one length, finite and not all zero."""
    if hasattr(vectors, "tolist"):  # numpy arrays
        vectors = vectors.tolist()
    if isinstance(vectors, str | bytes) or not isinstance(vectors, Sequence):
        raise TypeError(f"{what}: expected a list of vectors, got {type(vectors).__name__}")
    out = []
    for vector in vectors:
        if hasattr(vector, "tolist"):
            vector = vector.tolist()
        if isinstance(vector, str | bytes) or not isinstance(vector, Sequence):
            raise TypeError(f"{what}: a vector must be a list of numbers")
        values = []
        for x in vector:
            if isinstance(x, bool) or not isinstance(x, int | float):
                raise TypeError(f"{what}: a vector must be a list of numbers")
            values.append(float(x))
        norm = math.sqrt(math.fsum(x * x for x in values))
        if not values or not math.isfinite(norm) or norm == 0.0:
            raise ValueError(f"{what}: a vector must be non-empty, finite and not all zero")
        out.append([x / norm for x in values])
    if len({len(v) for v in out}) > 1:
        raise ValueError(f"{what}: vectors of different dimensions")
    return out


def optional_vectors(name: str, value: Any) -> list[list[float]] | None:
    """None, or a list of vectors of one dimension (an empty list: None)."""
    if value is None:
        return None
    found = checked(value, name)
    return found or None


def optional_vector(name: str, value: Any) -> list[float] | None:
    if value is None:
        return None
    if hasattr(value, "tolist"):
        value = value.tolist()
    if isinstance(value, Sequence) and value and not isinstance(value[0], int | float):
        raise TypeError(f"{name}: expected one vector, a list of numbers")
    return checked([value], name)[0]
