"""tarn: laboratory instrument control."""
