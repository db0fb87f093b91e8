"""The analysis steps' figures (schema, distributions, relationships,
diagnostics, scoring) and the statistics they are built of, against the
library calls that define them."""
