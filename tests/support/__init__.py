"""What the tests share, and the tools in tools/ too: every path through every
method as data (`support.cases`), the plain-Python twins of the compiled modules
(`support.twins`), the differential check that runs a module and its twin side
by side (`support.observe`), a recording fake of the base class
(`support.recording`) and a pristine interpreter to run code in
(`support.interpreters`)."""
