"""``python -m pyquarl`` runs the ``quarl`` command."""

from .cli import main

raise SystemExit(main())
