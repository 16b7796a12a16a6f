"""The velk library's facts that the binding needs, written from the library's sources.

Do not edit: the library's test core_host_facts_test checks this file against them, and
VELK_UPDATE_FACTS=1 core_host_facts_test writes it anew.
"""

# The error kinds in the order of their numbers: the library's name and the text its error
# records start with. A kind's result code is its number plus FIRST_CODE.
ERROR_KINDS = (
    ("InternalError", "internal error"),
    ("LIBUSBError", "libusb error"),
    ("HIDAPIError", "hidapi error"),
    ("InvalidArgument", "invalid argument"),
    ("EnumerationError", "failed to enumerate devices"),
    ("DeviceError", "device error"),
    ("SpuriousError", "spurious error"),
    ("InvalidImage", "invalid firmware image"),
    ("Timeout", "timeout"),
)
FIRST_CODE = -65535

# The longest persistent-store value, in 16-bit words.
PSKEY_MAX_WORDS = 118

# A log line starts with the time, LOG_TIME_WIDTH characters, and the level: an error record's
# message follows LOG_ERROR_FIELD.
LOG_TIME_WIDTH = 8
LOG_ERROR_FIELD = " [ERROR] "
