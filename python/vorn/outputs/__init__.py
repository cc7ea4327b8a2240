"""What the tools make of traces: Trace Event, speedscope and Perfetto exports, the page, the summary and OTLP."""
