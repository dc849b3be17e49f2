"""Services the actions talk to, including the embedded local service."""
