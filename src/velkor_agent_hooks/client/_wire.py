"""What the client and the server must agree on: paths, headers, variables and limits."""

PROJECT_HEADER = "X-Velkor-Project"
MAX_BODY = 32 * 1024 * 1024

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

ENV_VARS = {
    "base_url": "VELKOR_BASE_URL",
    "project": "VELKOR_PROJECT",
    "agent_id": "VELKOR_AGENT_ID",
    "deny_tools": "VELKOR_DENY_TOOLS",
    "timeout": "VELKOR_TIMEOUT",
    "path": "VELKOR_DB",
    "api_key": "VELKOR_API_KEY",
}
