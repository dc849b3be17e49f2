"""Response models returned by the cloud actions."""
