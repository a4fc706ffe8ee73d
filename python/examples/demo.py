"""A short tour of quarn."""
import quarn

print("quarn", quarn.__version__)
