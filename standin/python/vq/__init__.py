"""Stand-in for the platform package `vq`, holding just what c_sdk looks up in it.

Tests and demos put standin/python on sys.path; it is never installed with c_sdk.
"""
