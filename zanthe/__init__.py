"""zanthe: a medical-imaging integration toolkit.

Native modules:

* ``zanthe._agent``: an MCP tool server over stdio (``serve_stdio``).
* ``zanthe._fhir``: DICOM Part 10 bytes to a FHIR R4 ImagingStudy JSON text (``imaging_study``).
* ``zanthe._hl7``: HL7 v2 ER7 parsing (``parse``) and ORU^R01 building (``build_oru``).
"""

__version__ = "0.1.0"
__all__ = ["__version__"]
