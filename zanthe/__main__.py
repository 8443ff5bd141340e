"""``python -m zanthe``: the command line (see ``zanthe --help``)."""

from zanthe.cli import main

raise SystemExit(main())
