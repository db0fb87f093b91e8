"""The module's published surface: its names, classes and signatures, the
EDA object's forwarding to the libraries, and the entry's argument checks."""
