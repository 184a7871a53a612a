"""Tools that ship with the c_sdk module."""
