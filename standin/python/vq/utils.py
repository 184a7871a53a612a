"""Utilities of the platform package that c_sdk uses."""

import logging

# The logger c_sdk reports SDK failures through.
vqsdklogger = logging.getLogger("vqsdk")
