"""What the tests share besides conftest's fixtures: the plain-Python twins of the
compiled modules (`support.twins`) and the differential check that runs a module
and its twin side by side (`support.observe`)."""
