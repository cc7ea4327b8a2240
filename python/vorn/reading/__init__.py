"""Reading trace files: files, identities, companions of precise times, archives, runs and the timeline."""
