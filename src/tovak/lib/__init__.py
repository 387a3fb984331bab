"""Home of the native extension module ``tovak.lib._tovak``."""
