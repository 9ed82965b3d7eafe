"""`python -m tarnwick`: the same command as `tarnwick`."""

from tarnwick.cli import main

raise SystemExit(main())
