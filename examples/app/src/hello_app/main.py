"""Entry point of hello-app."""


def greet(name: str = "world") -> str:
    """Return a greeting for ``name``."""
    return f"Hello, {name}!"


if __name__ == "__main__":
    print(greet())
