"""What the client and the server must agree on: paths, headers, variables and limits."""

PROJECT_HEADER = "X-Velkor-Project"
AUTH_SCHEME = "Bearer"

# Server defaults; each is a setting of the server (see _server.Limits).
MAX_BODY = 4 * 1024 * 1024
MAX_TURNS = 1000
MAX_PAGE = 1000
# Request bodies nested deeper than this are refused: deep values break later reads.
MAX_DEPTH = 100

# Client side: what a reply may be before it is refused as malformed.
MAX_REPLY = 64 * 1024 * 1024
MAX_REPLY_DEPTH = 512

# Operation name -> (method, path). The server routes and the client sends by this table.
ROUTES = {
    "context": ("POST", "/v1/context"),
    "remember": ("POST", "/v1/remember"),
    "gate": ("POST", "/v1/gate"),
    "observe": ("POST", "/v1/observe"),
    "doctor": ("GET", "/v1/doctor"),
    "memories": ("GET", "/v1/memories"),
    "audit_events": ("GET", "/v1/audit-events"),
    "put_item": ("POST", "/v1/store/put"),
    "get_item": ("POST", "/v1/store/get"),
    "delete_item": ("POST", "/v1/store/delete"),
    "search_items": ("POST", "/v1/store/search"),
    "list_namespaces": ("POST", "/v1/store/namespaces"),
}
# Listings take ?limit=&offset= and reply with the rows and "next_offset" (null at the end).
PAGED = frozenset({"memories", "audit_events"})

ENV_VARS = {
    "base_url": "VELKOR_BASE_URL",
    "project": "VELKOR_PROJECT",
    "agent_id": "VELKOR_AGENT_ID",
    "deny_tools": "VELKOR_DENY_TOOLS",
    "timeout": "VELKOR_TIMEOUT",
    "path": "VELKOR_DB",
    "api_key": "VELKOR_API_KEY",
    "policy": "VELKOR_POLICY",
}


def json_depth_exceeds(value: object, limit: int) -> bool:
    """Whether parsed JSON nests containers more than ``limit`` deep; iterative, never recursing."""
    stack = [(value, 1)]
    while stack:
        node, depth = stack.pop()
        children = node.values() if type(node) is dict else node
        for child in children:  # type: ignore[attr-defined]
            if type(child) is dict or type(child) is list:
                if depth + 1 > limit:
                    return True
                stack.append((child, depth + 1))
    return False


def too_deep(raw: bytes, value: object, limit: int) -> bool:
    # Each container opens with a bracket: with few brackets the walk is not needed.
    if type(value) is not dict and type(value) is not list:
        return False
    if raw.count(b"{") + raw.count(b"[") <= limit:
        return False
    return json_depth_exceeds(value, limit)
