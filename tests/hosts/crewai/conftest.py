"""Offline CrewAI: scripted models, a word-hashing embedder, no telemetry, data in a temp dir."""

import atexit
import hashlib
import json
import math
import os
import shutil
import tempfile

# Before CrewAI is imported: it reads these at import and writes under the data home.
os.environ.update(
    CREWAI_DISABLE_TELEMETRY="true",
    OTEL_SDK_DISABLED="true",
    CREWAI_TRACING_ENABLED="false",
    XDG_DATA_HOME=tempfile.mkdtemp(prefix="crewai-data-"),
)

import pytest
from crewai.llms.base_llm import BaseLLM
from crewai.memory.analyze import (
    ConsolidationPlan,
    ExtractedMemories,
    MemoryAnalysis,
    QueryAnalysis,
)

atexit.register(shutil.rmtree, os.environ["XDG_DATA_HOME"], True)


def tool_call(name, arguments, call_id):
    return {
        "id": call_id,
        "type": "function",
        "function": {"name": name, "arguments": json.dumps(arguments)},
    }


class ScriptedLLM(BaseLLM):
    """Answers each call with the next turn: a list of tool calls or the final text, or a
    function making one (to act between turns)."""

    turns: list = []
    calls: list = []

    def call(self, messages, *args, response_model=None, **kwargs):
        self.calls.append([dict(m) for m in messages] if isinstance(messages, list) else messages)
        turn = self.turns.pop(0)
        return turn() if callable(turn) else turn

    def supports_function_calling(self):
        return True

    def get_input_tokens_count(self, messages, *args, **kwargs):
        return len(str(messages)) // 4  # CrewAI's own estimate, without its warning

    def tool_messages(self):
        """The tool results the model was last shown, by tool call id."""
        return {m["tool_call_id"]: m["content"] for m in self.calls[-1] if m["role"] == "tool"}

    def prompt_text(self, call=0):
        return "\n".join(str(m.get("content") or "") for m in self.calls[call])


class AnalysisLLM(BaseLLM):
    """Memory's analysis model: keeps each task's result as one memory, under /trips."""

    def call(self, messages, *args, response_model=None, **kwargs):
        text = messages[-1]["content"] if isinstance(messages, list) else messages
        if response_model is ExtractedMemories:
            results = [
                ln[len("Result: ") :] for ln in text.splitlines() if ln.startswith("Result: ")
            ]
            return ExtractedMemories(memories=results)
        if response_model is MemoryAnalysis:
            return MemoryAnalysis(suggested_scope="/trips", categories=["travel"], importance=0.8)
        if response_model is ConsolidationPlan:
            return ConsolidationPlan(actions=[], insert_new=True)
        if response_model is QueryAnalysis:
            return QueryAnalysis(recall_queries=[text[:200]])
        return ""

    def supports_function_calling(self):
        return True


def embed(texts):
    """Bag of hashed words, normalised: texts sharing words are near."""
    out = []
    for text in texts:
        vector = [0.0] * 32
        for word in text.lower().split():
            vector[hashlib.sha256(word.strip(".,:;!?").encode()).digest()[0] % 32] += 1.0
        norm = math.sqrt(sum(x * x for x in vector)) or 1.0
        out.append([x / norm for x in vector])
    return out


@pytest.fixture
def scripted():
    def make(*turns):
        return ScriptedLLM(model="scripted", turns=list(turns), calls=[])

    return make
