"""The vendor's end of the stub's event pings: receive, store, report (tools/events)."""
