// placeholder until this engine lands
