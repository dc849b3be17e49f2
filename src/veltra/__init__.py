"""Client library for the Veltra cloud service: actions, models and a local service."""

__version__ = "0.1.0"
