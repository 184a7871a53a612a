"""Constants of the platform package that c_sdk reads."""

import os

# The status the SDK returns on success. A test run may pick a non-zero one through the
# environment to prove nothing assumes 0 (the stand-in's default status must then match).
CSDK_OPERATE_SUCCESS = int(os.environ.get("VQ_CSDK_OPERATE_SUCCESS", "0"))
