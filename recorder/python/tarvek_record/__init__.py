"""tarvek-record: a passive recorder of the SDK's DDS topics (and the configuration service)
to MCAP files that common robotics tools open, with a summary and a plot of a run."""
