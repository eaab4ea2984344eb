"""Small framework helpers that vestri.ondrel relies on."""
