"""tarvek-view: the robot link live in Rerun's viewer, read by the recorder's passive readers."""
