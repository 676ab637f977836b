"""Remote shells and terminal windows."""
