"""What programs import: traced, span, scope and the logging handlers."""
