// Sub-command (to be written).
