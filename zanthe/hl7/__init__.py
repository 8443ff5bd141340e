"""HL7 v2 messages: parsing with access by location, acknowledgments, ORU^R01 building."""
