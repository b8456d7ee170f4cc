from tarvek_keys.cli import main

raise SystemExit(main())
