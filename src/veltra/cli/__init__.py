"""The ``veltra`` command: deploy the application in the current folder, list deploys, manage connections.

Laid out by concern, each in one place:

* :mod:`~veltra.cli.main`: ``main()`` and ``run()``, the one wrapper that turns
  every exception into its line on standard error and its exit code;
* :mod:`~veltra.cli.parser`: the argument parser and every help text;
* :mod:`~veltra.cli.errors`: the exit codes (``--help`` lists them from there)
  and the command's own errors;
* :mod:`~veltra.cli.actions`: which compiled action each command runs;
* one module per command group: :mod:`~veltra.cli.deploy`,
  :mod:`~veltra.cli.deploys`, :mod:`~veltra.cli.links`;
* what they use: :mod:`~veltra.cli.output` (everything printed), and for the
  deploy :mod:`~veltra.cli.project` (the checks of the folder) and
  :mod:`~veltra.cli.progress` (what is sent, and the live status).

The command is where the user is protected: it never overwrites, deletes or
leaves a file of the user's, every ordinary mistake is one line starting with
"error:" and a documented exit code, secrets stay off the command line and out
of every message, and data goes to standard output while prompts and notes go
to standard error. Modules import what is heavy only where they need it, so
that a listing starts quickly.

The ``veltra`` script runs :func:`veltra.cli.main.main`.
"""
