"""Data for measuring how well rules and models tell bots from humans (see README.md here)."""
