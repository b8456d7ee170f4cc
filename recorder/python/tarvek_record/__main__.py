from tarvek_record.cli import main

raise SystemExit(main())
