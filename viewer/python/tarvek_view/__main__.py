from tarvek_view.cli import main

raise SystemExit(main())
