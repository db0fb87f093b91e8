"""The report's forms: the Markdown against its golden files (golden/), the
dictionary, JSON, the HTML page and the records the report is built of."""
