"""Tools that ship with the c_sdk extension module.

    python -m c_sdk_tools.info        (or c-sdk-info): which module, which libvqsdk.so, which vq
    python -m c_sdk_tools.recording   (or c-sdk-record): record a session at the SDK boundary, replay it, dump it
"""
