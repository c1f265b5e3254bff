"""An image as it arrived at a viewer."""


class Image:
    """One image as it arrived at a viewer.

    ``data`` is a numpy ``uint8`` array over the received buffer (no copy):
    shaped (height, width) for gray, (height, width, 3) for RGB, 1-D for
    anything else (or when the byte count does not match the size).
    """

    __slots__ = ("channel", "data", "attrs", "tag", "arrival_us")

    def __init__(self, channel, data, attrs, tag, arrival_us):
        self.channel = channel  #: image channel 0..3
        self.data = data  #: numpy uint8 array
        self.attrs = attrs  #: the five attributes (attr1, ..., attr5)
        self.tag = tag  #: the device's 64-bit tag (capture time in µs by convention)
        self.arrival_us = arrival_us  #: wall-clock arrival time, µs since 1970

    attr1 = property(lambda self: self.attrs[0], doc="First attribute (channel selector).")
    attr2 = property(lambda self: self.attrs[1], doc="Second attribute: the pixel format.")
    attr3 = property(lambda self: self.attrs[2], doc="Third attribute: the width in pixels.")
    attr4 = property(lambda self: self.attrs[3], doc="Fourth attribute: the height in pixels.")
    attr5 = property(lambda self: self.attrs[4], doc="Fifth attribute (channel selector).")
    format = property(lambda self: self.attrs[1], doc="Pixel format: GRAY (1), RGB (3) or another value (opaque).")
    width = property(lambda self: self.attrs[2], doc="Width in pixels (0 for opaque bytes).")
    height = property(lambda self: self.attrs[3], doc="Height in pixels (0 for opaque bytes).")

    def __repr__(self):
        return (
            f"Image(channel={self.channel}, shape={self.data.shape}, attrs={self.attrs}, "
            f"tag={self.tag}, arrival_us={self.arrival_us})"
        )
