// placeholder: filled in by its subsystem
